#include "ui/WindowRules.h"

#include "core/Exceptions.h"
#include "core/Utf16.h"

#include <cstdint>
#include <cstdlib>

namespace pakforge::ui {

std::u16string changeExtensionToExe(std::u16string_view path) {
    const auto delimiter = path.find_last_of(u"/\\:.");
    std::u16string result(path);
    if (delimiter != std::u16string_view::npos && path[delimiter] == u'.') result.resize(delimiter);
    return result + u".exe";
}

int MulDiv(int a, int b, int c) {
    if (c == 0) return -1;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = std::llabs(c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(c);
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX || result < INT32_MIN) return -1;
    return static_cast<int>(result);
}

std::size_t commandLineArgumentCount(const std::vector<std::u16string>& arguments) {
    std::size_t count = 0;
    while (count < arguments.size() && !arguments[count].empty()) ++count;
    return count;
}

std::u16string exceptionBoxText(const std::exception_ptr& error) {
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "An unknown error occurred";
    }
    return utf8ToUtf16(withFullStop(message));
}

void showException(View& view, const std::exception_ptr& error) {
    view.messageBox(kApplicationTitle, exceptionBoxText(error), MessageIcon::Error);
}

void runHandler(View& view, const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        showException(view, std::current_exception());
    }
}

} // namespace pakforge::ui
