// Small rules of the window that need no toolkit.
#pragma once

#include "ui/View.h"

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pakforge::ui {

// The path with its extension replaced by ".exe". The extension starts at the
// last "." after the last path separator and drive colon; a name without one
// gets ".exe" appended (a dot in a folder name does not count).
std::u16string changeExtensionToExe(std::u16string_view path);

// a * b / c rounded to the nearest integer (halves away from zero), computed
// without overflow; -1 when c is 0.
int MulDiv(int a, int b, int c);

// How many arguments the start-up sees: counting stops at the first empty one,
// as an empty argument cannot be passed on the command line the window reads.
std::size_t commandLineArgumentCount(const std::vector<std::u16string>& arguments);

// The text of the top-level handler's message box: the exception's message
// with a full stop appended when its last character's code is above that of
// the full stop.
std::u16string exceptionBoxText(const std::exception_ptr& error);

// The application's top-level handler: a message box captioned with the
// application title, with the error icon and the text above. The program
// then goes on.
void showException(View& view, const std::exception_ptr& error);

// Runs a handler under that rule: whatever it throws is shown, and the
// window goes on.
void runHandler(View& view, const std::function<void()>& handler);

} // namespace pakforge::ui
