#include "qt/AboutWindow.h"

#include "qt/QtSupport.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace pakforge::qt {

namespace {

QLabel* picture(QWidget* parent, const QString& name, const QString& svg, QRect place) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setGeometry(place);
    label->setPixmap(svgPixmap(svg, place.size(), parent->devicePixelRatioF()));
    return label;
}

QLabel* text(QWidget* parent, const QString& name, const QString& caption, QPoint at, const QFont& font,
             const QColor& colour) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->move(at);
    label->adjustSize();
    return label;
}

} // namespace

AboutWindow::AboutWindow(ui::VersionCheck& versionCheck, QWidget* mainWindow)
    : QDialog(mainWindow), form_(*this, versionCheck) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About Pakforge"));
    // A dialog border with the system menu only; not modal.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(false);
    // Closing the main window ends the program, About open or not.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(500, 277);
    setFont(pixelFont(QStringLiteral("Tahoma"), 11));
    QPalette light = palette();
    light.setColor(QPalette::Window, light.color(QPalette::Light));
    setPalette(light);
    setAutoFillBackground(true);

    auto* banner = new QWidget(this);
    banner->setObjectName(QStringLiteral("Panel1"));
    banner->setGeometry(0, 0, 500, 81);
    QPalette bannerColour = banner->palette();
    bannerColour.setColor(QPalette::Window, QColor(238, 244, 249));
    banner->setPalette(bannerColour);
    banner->setAutoFillBackground(true);
    picture(banner, QStringLiteral("Image1"), QStringLiteral("product"), {12, 10, 64, 64});
    text(banner, QStringLiteral("Label1"), QStringLiteral("Pakforge"), {102, 16},
         pixelFont(QStringLiteral("Arial"), 24, true), Qt::black);
    text(banner, QStringLiteral("Label2"), QStringLiteral("Creates EXE installers from MSI packages"),
         {102, 47}, pixelFont(QStringLiteral("Tahoma"), 11), Qt::gray);

    auto* group = new QGroupBox(QStringLiteral("  Program Information  "), this);
    group->setObjectName(QStringLiteral("GroupBox1"));
    group->setGeometry(13, 92, 473, 133);
    picture(group, QStringLiteral("Image2"), QStringLiteral("info"), {26, 32, 16, 16});
    picture(group, QStringLiteral("Image3"), QStringLiteral("update"), {26, 64, 16, 16});
    const auto link = [this, group](const QString& name, const QString& caption, QPoint at,
                                    void (ui::TAboutForm::*handler)()) {
        auto* label = new LinkLabel(caption, group);
        label->setObjectName(name);
        QFont font = this->font();
        font.setUnderline(true);
        label->setFont(font);
        QPalette blue = label->palette();
        blue.setColor(QPalette::WindowText, Qt::blue);
        label->setPalette(blue);
        label->move(at);
        label->adjustSize();
        connect(label, &LinkLabel::clicked, this, [this, handler] { handle(handler); });
    };
    link(QStringLiteral("InfoLabel"), QStringLiteral("Product Information"), {48, 32},
         &ui::TAboutForm::InfoLabelClick);
    link(QStringLiteral("UpdateLabel"), QStringLiteral("Check updates..."), {48, 64},
         &ui::TAboutForm::UpdateLabelClick);
    versionLine_ = text(group, QStringLiteral("Label6"), QString(), {222, 32}, font(),
                        palette().color(QPalette::WindowText));

    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("Button1"));
    close->setGeometry(389, 240, 97, 28);
    connect(close, &QPushButton::clicked, this, [this] { handle(&ui::TAboutForm::Button1Click); });

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

void AboutWindow::handle(void (ui::TAboutForm::*handler)()) {
    runHandler(*this, [this, handler] { (form_.*handler)(); });
}

void AboutWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(this, toQString(caption), toQString(text), icon);
}

bool AboutWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return qt::openWithDesktop(toQString(fileOrUrl));
}

void AboutWindow::setVersionLine(std::u16string_view line) {
    versionLine_->setText(toQString(line));
    versionLine_->adjustSize();
}

void AboutWindow::hideWindow() {
    hide();
}

} // namespace pakforge::qt
