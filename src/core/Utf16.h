// UTF-16 text helpers: conversion to and from UTF-8 and file paths, and the
// case-insensitive comparison used for names.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace pakforge {

// Invalid input (lone surrogates, bad UTF-8) becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// Paths to and from our text. Never path::string() or path(std::string) on
// the way of a user's path: on Windows those use the ANSI code page.
std::string pathToUtf8(const std::filesystem::path& path);
std::filesystem::path pathFromUtf8(std::string_view text);
std::u16string pathToUtf16(const std::filesystem::path& path);
std::filesystem::path pathFromUtf16(std::u16string_view text);

// Compares without regard to letter case, as the platform compares names in
// the user's locale; negative, zero or positive like strcmp. Text that
// differs in more than case never compares equal.
int compareTextIgnoreCase(std::u16string_view a, std::u16string_view b);
bool sameTextIgnoreCase(std::u16string_view a, std::u16string_view b);

// Simple Unicode upper-case mapping, code point by code point.
std::u16string toUpperText(std::u16string_view text);

// A JSON string literal of UTF-8 text: quotes, backslashes and control
// characters escaped, everything else as it is.
std::string jsonQuoted(std::string_view text);

} // namespace pakforge
