#include "ui/WindowHandOver.h"

#include <exception>

namespace pakforge::ui {

DialogStyle dialogStyle(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::mtError:
        return {u"Error", MessageIcon::Error};
    case TMsgDlgType::mtInformation:
        return {u"Information", MessageIcon::Information};
    case TMsgDlgType::mtConfirmation:
        break;
    }
    return {u"Confirm", MessageIcon::Question};
}

WindowHandOver::WindowHandOver(WindowThread& window)
    : window_(window), windowThread_(std::this_thread::get_id()),
      alive_(std::make_shared<WindowHandOver*>(this)) {}

// Destroyed on the window's thread, where the posts run: none sees it half gone.
WindowHandOver::~WindowHandOver() = default;

void WindowHandOver::post() {
    window_.post([alive = std::weak_ptr<WindowHandOver*>(alive_)] {
        if (const auto self = alive.lock()) (*self)->serveWaiting();
    });
}

void WindowHandOver::ServeUntil(const std::function<bool()>& finished) {
    window_.pump(finished, Input::keep);
}

TModalResult WindowHandOver::MessageDlg(const std::u16string& text, TMsgDlgType type,
                                        TMsgDlgButtons buttons) {
    const DialogStyle style = dialogStyle(type);
    const Buttons shown = (buttons & (mbYes | mbNo)) ? Buttons::yesNo : Buttons::ok;
    switch (window_.dialog(style.caption, text, style.icon, shown)) {
    case Answer::yes:
        return TModalResult::mrYes;
    case Answer::no:
        return TModalResult::mrNo;
    case Answer::ok:
        return TModalResult::mrOk;
    case Answer::none:
        break;
    }
    return TModalResult::mrNone;
}

void WindowHandOver::OpenURL(const std::u16string& url) {
    window_.openWithDesktop(url);
}

void WindowHandOver::runOnWindowThread(const std::function<void()>& fn) {
    if (std::this_thread::get_id() == windowThread_) {
        fn();
        return;
    }
    std::exception_ptr error;
    enqueue(
        [&] {
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
        },
        true);
    if (error) std::rethrow_exception(error);
}

} // namespace pakforge::ui
