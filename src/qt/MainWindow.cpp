#include "qt/MainWindow.h"

#include "qt/QtSupport.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyledItemDelegate>

namespace pakforge::qt {

namespace {

constexpr int kClientWidth = 590;
constexpr int kClientHeight = 402;
constexpr int kLogHeight = 49;
constexpr int kLogItemHeight = 13;
const QColor kBannerColour(68, 76, 85);

QLabel* label(QWidget* parent, const QString& name, const QString& text, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(pixelFont(QStringLiteral("Tahoma"), 11));
    label->move(at);
    label->adjustSize();
    return label;
}

QLineEdit* pathEdit(QWidget* parent, const QString& name, int top) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setFont(pixelFont(QStringLiteral("Arial"), 11));
    edit->setGeometry(16, top, 417, 22);
    return edit;
}

} // namespace

// Every line as wide as the log's horizontal extent, so that the list
// scrolls sideways exactly as far as the extent asks.
class LogDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {extent, kLogItemHeight};
    }
    int extent = 0;
};

MainWindow::MainWindow(ui::MainFormSettings settings, QWidget* parent)
    : QWidget(parent), runner_(this), form_(std::make_unique<ui::Tmainform>(*this, std::move(settings))) {
    setObjectName(QStringLiteral("mainform"));
    setWindowTitle(QStringLiteral("Pakforge"));
    setWindowIcon(svgIcon(QStringLiteral("pakforge")));
    // Fixed border with the system menu and minimize only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    createControls();
    setTabOrder();
    // Where no window manager draws a close button, the desktop's usual keys.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);

    connect(&runner_, &BlockingRunner::started, this, [this] {
        progress_->setValue(0);
        progress_->show();
    });
    connect(&runner_, &BlockingRunner::progress, progress_, &QProgressBar::setValue);
    connect(&runner_, &BlockingRunner::finished, progress_, &QProgressBar::hide);
}

MainWindow::~MainWindow() {
    FormDestroy();
}

void MainWindow::createControls() {
    // The banner with its picture and the two links.
    panel1_ = new QWidget(this);
    panel1_->setObjectName(QStringLiteral("Panel1"));
    panel1_->setGeometry(0, 0, kClientWidth, 81);
    QPalette banner = panel1_->palette();
    banner.setColor(QPalette::Window, kBannerColour);
    panel1_->setPalette(banner);
    panel1_->setAutoFillBackground(true);

    auto* image1 = new QLabel(panel1_);
    image1->setObjectName(QStringLiteral("Image1"));
    image1->setGeometry(0, 0, 312, 81);
    image1->setPixmap(svgPixmap(QStringLiteral("banner"), QSize(312, 81), devicePixelRatioF()));

    const auto link = [this](const QString& name, const QString& text, QRect place,
                             void (ui::Tmainform::*handler)()) {
        auto* label = new LinkLabel(text, panel1_);
        label->setObjectName(name);
        label->setFont(pixelFont(QStringLiteral("Tahoma"), 13, true));
        QPalette white = label->palette();
        white.setColor(QPalette::WindowText, Qt::white);
        label->setPalette(white);
        // At least its designed size, wider where the font is wider.
        place.setWidth(std::max(place.width(), label->sizeHint().width()));
        label->setGeometry(place);
        connect(label, &LinkLabel::clicked, this, [this, handler] { handle(handler); });
    };
    link(QStringLiteral("Label3"), QStringLiteral("Help"), {482, 58, 28, 16},
         &ui::Tmainform::helpbuttonClick);
    link(QStringLiteral("Label5"), QStringLiteral("About"), {535, 58, 40, 16}, &ui::Tmainform::About1Click);

    // The three paths, each with its Browse... button.
    label(this, QStringLiteral("Label1"), QStringLiteral("MSI File:"), {16, 93});
    msiedit_ = pathEdit(this, QStringLiteral("msiedit"), 112);
    label(this, QStringLiteral("Label4"), QStringLiteral("Application Icon:"), {16, 152});
    appicon_ = pathEdit(this, QStringLiteral("appicon"), 168);
    appicon_->setReadOnly(true);
    label(this, QStringLiteral("Label2"), QStringLiteral("EXE File:"), {16, 208});
    exeedit_ = pathEdit(this, QStringLiteral("exeedit"), 224);

    const struct {
        const char* name;
        int top;
        void (ui::Tmainform::*handler)();
    } browse[] = {{"browsemsi", 106, &ui::Tmainform::OpenButtonClick},
                  {"browseico", 162, &ui::Tmainform::Chooseicon},
                  {"browseexe", 218, &ui::Tmainform::browseexeClick}};
    const QIcon glyph = svgIcon(QStringLiteral("browse"));
    for (int i = 0; i < 3; ++i) {
        auto* button = new QPushButton(QStringLiteral("Browse..."), this);
        button->setObjectName(QString::fromLatin1(browse[i].name));
        button->setFont(pixelFont(QStringLiteral("Tahoma"), 13));
        button->setGeometry(453, browse[i].top, 129, 33);
        button->setIcon(glyph);
        button->setIconSize(glyph_);
        connect(button, &QPushButton::clicked, this,
                [this, handler = browse[i].handler] { handle(handler); });
        browseButtons_[i] = button;
    }

    // What the package says about itself.
    nameLabel_ = label(this, QStringLiteral("nameLabel"), QStringLiteral("Product Name: -"), {16, 260});
    manufacturerLabel_ =
        label(this, QStringLiteral("manufacturerLabel"), QStringLiteral("Manufacturer: -"), {16, 281});
    versionLabel_ =
        label(this, QStringLiteral("versionLabel"), QStringLiteral("Product Version: -"), {16, 302});

    build_ = new QPushButton(QStringLiteral("Build"), this);
    build_->setObjectName(QStringLiteral("Button1"));
    build_->setFont(pixelFont(QStringLiteral("Tahoma"), 16, true));
    build_->setGeometry(453, 270, 129, 45);
    connect(build_, &QPushButton::clicked, this, [this] { handle(&ui::Tmainform::CompileClick); });

    // The log: no border, a bevel along its top edge.
    statuslist_ = new QListWidget(this);
    statuslist_->setObjectName(QStringLiteral("statuslist"));
    statuslist_->setFrameShape(QFrame::NoFrame);
    statuslist_->setFont(pixelFont(QStringLiteral("Tahoma"), 11));
    statuslist_->setUniformItemSizes(true);
    statuslist_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    logDelegate_ = new LogDelegate(statuslist_);
    statuslist_->setItemDelegate(logDelegate_);
    logBevel_ = new QFrame(this);
    logBevel_->setFrameShape(QFrame::HLine);
    logBevel_->setFrameShadow(QFrame::Sunken);

    // The status bar: two panels, the first shows a build's progress.
    statusBar_ = new QWidget(this);
    statusBar_->setObjectName(QStringLiteral("StatusBar"));
    for (int i = 0; i < 2; ++i) {
        panels_[i] = new QFrame(statusBar_);
        panels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panels_[i]->setFrameShape(QFrame::Panel);
        panels_[i]->setFrameShadow(QFrame::Sunken);
    }
    progress_ = new QProgressBar(panels_[0]);
    progress_->setObjectName(QStringLiteral("BuildProgress"));
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->hide();
    panels_[0]->resize(300, statusBarHeight_);
    panels_[1]->resize(100, statusBarHeight_);
    layoutBottom();
}

void MainWindow::layoutBottom() {
    const int barTop = height() - statusBarHeight_;
    statusBar_->setGeometry(0, barTop, width(), statusBarHeight_);
    int left = 0;
    for (QFrame* panel : panels_) {
        panel->setGeometry(left, 0, panel->width(), statusBarHeight_);
        left += panel->width();
    }
    progress_->setGeometry(panels_[0]->contentsRect().adjusted(1, 1, -1, -1));
    statuslist_->setGeometry(0, barTop - kLogHeight, width(), kLogHeight);
    logBevel_->setGeometry(0, barTop - kLogHeight - 1, width(), 2);
}

void MainWindow::setTabOrder() {
    // The log first, then the fields, Build, and the buttons from the bottom
    // up; the banner takes no focus.
    panel1_->setFocusPolicy(Qt::NoFocus);
    QWidget* const order[] = {statuslist_, msiedit_,          appicon_,          exeedit_,
                              build_,      browseButtons_[1], browseButtons_[2], browseButtons_[0]};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
    statuslist_->setFocus();
}

void MainWindow::AfterConstruction(const std::vector<std::u16string>& arguments) {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const int dotsPerInch = screen ? qRound(screen->logicalDotsPerInch()) : 96;
    form_->AfterConstruction(arguments, dotsPerInch);
}

void MainWindow::FormDestroy() {
    if (form_ && form_->FVersionCheck()) form_->FormDestroy();
}

void MainWindow::showEvent(QShowEvent* event) {
    if (!centred_) {
        centred_ = true;
        if (const QScreen* screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void MainWindow::handle(void (ui::Tmainform::*handler)()) {
    runHandler(*this, [this, handler] { (form_.get()->*handler)(); });
}

QLineEdit* MainWindow::edit(ui::Field field) const {
    switch (field) {
    case ui::Field::msiedit:
        return msiedit_;
    case ui::Field::appicon:
        return appicon_;
    case ui::Field::exeedit:
        break;
    }
    return exeedit_;
}

void MainWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(isVisible() ? this : nullptr, toQString(caption), toQString(text), icon);
}

bool MainWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return qt::openWithDesktop(toQString(fileOrUrl));
}

std::u16string MainWindow::fieldText(ui::Field field) const {
    return fromQString(edit(field)->text());
}

void MainWindow::setFieldText(ui::Field field, std::u16string_view text) {
    edit(field)->setText(toQString(text));
}

void MainWindow::setLabelText(ui::ProductLabel which, std::u16string_view text) {
    QLabel* target = which == ui::ProductLabel::nameLabel      ? nameLabel_
                     : which == ui::ProductLabel::versionLabel ? versionLabel_
                                                               : manufacturerLabel_;
    target->setText(toQString(text));
    target->adjustSize();
}

bool MainWindow::executeOpenDialog(ui::TOpenDialog& dialog) {
    if (!openDialog_) {
        // One dialog for the window's lifetime; it keeps its folder between uses.
        openDialog_ = new QFileDialog(this);
        openDialog_->setObjectName(QStringLiteral("OpenDialog"));
        openDialog_->setWindowTitle(QStringLiteral("Open"));
        openDialog_->setAcceptMode(QFileDialog::AcceptOpen);
        // A name that does not exist yet is fine (an output to be made).
        openDialog_->setFileMode(QFileDialog::AnyFile);
        openDialog_->setOption(QFileDialog::DontResolveSymlinks);
        openDialog_->setSizeGripEnabled(true);
    }
    openDialog_->setNameFilters(fileDialogFilters(toQString(dialog.Filter)));
    if (!dialog.FileName.empty()) {
        const QFileInfo last(toQString(dialog.FileName));
        openDialog_->setDirectory(last.absolutePath());
        openDialog_->selectFile(last.fileName());
    }
    if (openDialog_->exec() != QDialog::Accepted) return false;
    const QStringList chosen = openDialog_->selectedFiles();
    if (chosen.isEmpty()) return false;
    dialog.FileName = fromQString(chosen.first());
    return true;
}

void MainWindow::logClear() {
    statuslist_->clear();
}

int MainWindow::logAdd(std::u16string_view line) {
    if (statuslist_->count() >= logCapacity_) throw ui::EOutOfResources(ui::kUnableToInsertLine);
    statuslist_->addItem(toQString(line));
    return statuslist_->count() - 1;
}

void MainWindow::logSetTopIndex(int index) {
    if (QListWidgetItem* item = statuslist_->item(index))
        statuslist_->scrollToItem(item, QAbstractItemView::PositionAtTop);
}

int MainWindow::logHorizontalExtent() const {
    return logDelegate_->extent;
}

void MainWindow::logSetHorizontalExtent(int pixels) {
    logDelegate_->extent = pixels;
    statuslist_->doItemsLayout();
}

int MainWindow::logTextWidth(std::u16string_view text) const {
    return statuslist_->fontMetrics().horizontalAdvance(toQString(text));
}

void MainWindow::logRepaint() {
    statuslist_->viewport()->repaint();
}

int MainWindow::statusBarHeight() const {
    return statusBarHeight_;
}

void MainWindow::setStatusBarHeight(int pixels) {
    statusBarHeight_ = pixels;
    layoutBottom();
}

int MainWindow::statusPanelCount() const {
    return 2;
}

int MainWindow::statusPanelWidth(int panel) const {
    return panels_[panel]->width();
}

void MainWindow::setStatusPanelWidth(int panel, int pixels) {
    panels_[panel]->resize(pixels, statusBarHeight_);
    layoutBottom();
}

int MainWindow::glyphWidth() const {
    return glyph_.width();
}

void MainWindow::setGlyphWidth(int pixels) {
    glyph_.setWidth(pixels);
    for (QPushButton* button : browseButtons_) button->setIconSize(glyph_);
}

int MainWindow::glyphHeight() const {
    return glyph_.height();
}

void MainWindow::setGlyphHeight(int pixels) {
    glyph_.setHeight(pixels);
    for (QPushButton* button : browseButtons_) button->setIconSize(glyph_);
}

void MainWindow::runBlocking(const std::function<void()>& work) {
    runner_.run(work);
}

void MainWindow::onWindowThread(const std::function<void()>& fn) {
    runner_.onWindowThread(fn);
}

void MainWindow::showProgress(std::uint64_t done, std::uint64_t total) {
    runner_.reportProgress(done, total);
}

void MainWindow::showAboutWindow() {
    if (!about_) return;
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void MainWindow::postQuitRequest() {
    quitRequested_ = true;
}

} // namespace pakforge::qt
