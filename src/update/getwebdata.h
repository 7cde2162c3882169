// Fetches a short text with one HTTPS GET request.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

namespace pakforge {

// The longest answer accepted; the version check expects a few bytes.
inline constexpr std::size_t kMaxWebAnswer = 64 * 1024;

struct TWebDataOptions {
    std::uint16_t Port = 443;
    std::filesystem::path ExtraCaFile; // PEM certificates trusted besides the system's
    // A dead server must not hold the program's closing (which waits for
    // the check) for minutes.
    std::chrono::milliseconds ConnectTimeout{15000};
    std::chrono::milliseconds TotalTimeout{30000};
};

struct TWebData {
    std::int32_t ResultCode = -1; // 0 on success
    std::string Answer;           // trimmed; empty unless success
    std::string FailureReason;    // why it failed, for the command line
};

// Success is status 200 with an answer that is not blank once the bytes of
// value 32 or less are removed from both ends. Raises nothing.
TWebData GetWebData(std::u16string_view userAgent, std::u16string_view hostName,
                    std::u16string_view requestPath, const TWebDataOptions& options = {});

// Removes the characters of code 32 or less from both ends.
// Bytes are read unsigned: one above 127 is text, not a control.
template <typename String> String TrimControls(const String& text) {
    using Unit = std::make_unsigned_t<typename String::value_type>;
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<Unit>(text[begin]) <= 32) ++begin;
    while (end > begin && static_cast<Unit>(text[end - 1]) <= 32) --end;
    return text.substr(begin, end - begin);
}

} // namespace pakforge
