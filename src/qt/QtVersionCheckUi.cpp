#include "qt/QtVersionCheckUi.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QUrl>

namespace pakforge {

namespace {

QString toQString(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QtVersionCheckUi::QtVersionCheckUi(QWidget* parent)
    : receiver_(std::make_unique<QObject>()), parent_(parent) {}

QtVersionCheckUi::~QtVersionCheckUi() = default;

void QtVersionCheckUi::ServeUntil(const std::function<bool()>& finished) {
    // Serves the worker's hand-over, and whatever else is posted, but keeps
    // user input for later: the click that waits must not start another
    // check or close the window under it. A dialog shown meanwhile runs
    // its own loop and takes input as usual.
    while (!finished())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
}

void QtVersionCheckUi::post() {
    // A posted event also ends the wait in processEvents.
    QMetaObject::invokeMethod(
        receiver_.get(), [this] { serve(); }, Qt::QueuedConnection);
}

TModalResult QtVersionCheckUi::MessageDlg(const std::u16string& text, TMsgDlgType type,
                                          TMsgDlgButtons buttons) {
    QMessageBox box(parent_);
    switch (type) {
    case TMsgDlgType::mtError:
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(QStringLiteral("Error"));
        break;
    case TMsgDlgType::mtInformation:
        box.setIcon(QMessageBox::Information);
        box.setWindowTitle(QStringLiteral("Information"));
        break;
    case TMsgDlgType::mtConfirmation:
        box.setIcon(QMessageBox::Question);
        box.setWindowTitle(QStringLiteral("Confirm"));
        break;
    }
    // The texts break lines with CR LF; Qt wants LF alone.
    box.setText(toQString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box.setTextFormat(Qt::PlainText);
    QMessageBox::StandardButtons standard;
    if (buttons & mbYes) standard |= QMessageBox::Yes;
    if (buttons & mbNo) standard |= QMessageBox::No;
    if (buttons & mbOK) standard |= QMessageBox::Ok;
    box.setStandardButtons(standard);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return TModalResult::mrYes;
    case QMessageBox::No:
        return TModalResult::mrNo;
    case QMessageBox::Ok:
        return TModalResult::mrOk;
    default:
        return TModalResult::mrNone;
    }
}

void QtVersionCheckUi::OpenURL(const std::u16string& url) {
    QDesktopServices::openUrl(QUrl(toQString(url)));
}

} // namespace pakforge
