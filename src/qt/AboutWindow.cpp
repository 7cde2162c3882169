#include "qt/AboutWindow.h"

#include "qt/QtSupport.h"
#include "ui/Layout.h"
#include "ui/WindowRules.h"

namespace pakforge::qt {

namespace {

void setColour(QWidget* control, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = control->palette();
    palette.setColor(role, colour);
    control->setPalette(palette);
}

} // namespace

AboutWindow::AboutWindow(ui::VersionCheck& versionCheck, QWidget* mainWindow)
    : QDialog(mainWindow), form_(*this, versionCheck) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(toQString(ui::kAboutWindow.caption));
    // A dialog border with the system menu only; not modal.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(false);
    // Closing the main window ends the program, About open or not.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(ui::kAboutWindow.width, ui::kAboutWindow.height);
    setFont(pixelFont(ui::controlRow(ui::ids::Label6).font));
    setColour(this, QPalette::Window, palette().color(QPalette::Light));
    setAutoFillBackground(true);

    controls_ = createControls(ui::aboutWindowControls(), this, [this](const ui::ControlRow& row) {
        ui::runHandler(*this, [this, &row] { (form_.*row.onAbout)(); });
    });
    setColour(controls_[ui::ids::AboutPanel1], QPalette::Window, QColor(238, 244, 249));
    setColour(controls_[ui::ids::AboutLabel1], QPalette::WindowText, Qt::black);
    setColour(controls_[ui::ids::AboutLabel2], QPalette::WindowText, Qt::gray);
    for (const int link : {ui::ids::InfoLabel, ui::ids::UpdateLabel})
        setColour(controls_[link], QPalette::WindowText, Qt::blue);
    form_.FormCreate();
}

void AboutWindow::showEvent(QShowEvent* event) {
    // Over the centre of the main window.
    if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
        QRect frame = frameGeometry();
        frame.moveCenter(owner->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

void AboutWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(this, toQString(caption), toQString(text), icon);
}

bool AboutWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return qt::openWithDesktop(toQString(fileOrUrl));
}

void AboutWindow::setVersionLine(std::u16string_view line) {
    auto* label = static_cast<QLabel*>(controls_[ui::ids::Label6]);
    label->setText(toQString(line));
    label->adjustSize();
}

void AboutWindow::hideWindow() {
    hide();
}

} // namespace pakforge::qt
