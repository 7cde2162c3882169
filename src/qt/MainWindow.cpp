#include "qt/MainWindow.h"

#include "qt/EventLoop.h"
#include "qt/QtSupport.h"
#include "ui/WindowRules.h"

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

// Every line as wide as the log's horizontal extent, so that the list
// scrolls sideways exactly as far as the extent asks.
class LogDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {extent, ui::kLogItemHeight};
    }
    int extent = 0;
};

MainWindow::MainWindow(ui::MainFormSettings settings, QWidget* parent)
    : QWidget(parent), ui::MainWindowBase(EventLoop::instance(), std::move(settings)) {
    setObjectName(QStringLiteral("mainform"));
    setWindowTitle(toQString(ui::kMainWindow.caption));
    setWindowIcon(svgIcon(QStringLiteral("pakforge")));
    // Fixed border with the system menu and minimize only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(ui::kMainWindow.width, ui::kMainWindow.height);
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    controls_ =
        createControls(ui::mainWindowControls(), this, [this](const ui::ControlRow& row) { click(row); });
    QPalette banner = controls_[ui::ids::Panel1]->palette();
    banner.setColor(QPalette::Window, QColor(68, 76, 85));
    controls_[ui::ids::Panel1]->setPalette(banner);
    for (const int link : {ui::ids::Label3, ui::ids::Label5}) {
        QPalette white = controls_[link]->palette();
        white.setColor(QPalette::WindowText, Qt::white);
        controls_[link]->setPalette(white);
    }
    // The log: no border, a bevel along its top edge.
    statuslist_ = static_cast<QListWidget*>(controls_[ui::ids::statuslist]);
    statuslist_->setFrameShape(QFrame::NoFrame);
    statuslist_->setUniformItemSizes(true);
    statuslist_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    logDelegate_ = new LogDelegate(statuslist_);
    statuslist_->setItemDelegate(logDelegate_);
    createStatusBar();
    sizesChanged();
    statuslist_->setFocus();
    // Where no window manager draws a close button, the desktop's usual keys.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);
}

MainWindow::~MainWindow() {
    FormDestroy();
}

void MainWindow::createStatusBar() {
    logBevel_ = new QFrame(this);
    logBevel_->setFrameShape(QFrame::HLine);
    logBevel_->setFrameShadow(QFrame::Sunken);
    // Two panels, the first shows a build's progress.
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
}

void MainWindow::sizesChanged() {
    const ui::DensitySizes& size = sizes();
    const int barTop = height() - size.statusBarHeight;
    statusBar_->setGeometry(0, barTop, width(), size.statusBarHeight);
    int left = 0;
    for (int i = 0; i < 2; ++i) {
        panels_[i]->setGeometry(left, 0, size.panelWidths[i], size.statusBarHeight);
        left += size.panelWidths[i];
    }
    progress_->setGeometry(panels_[0]->contentsRect().adjusted(1, 1, -1, -1));
    statuslist_->setGeometry(0, barTop - ui::kLogHeight, width(), ui::kLogHeight);
    logBevel_->setGeometry(0, barTop - ui::kLogHeight - 1, width(), 2);
    for (const int id : {ui::ids::browsemsi, ui::ids::browseico, ui::ids::browseexe})
        static_cast<QPushButton*>(controls_[id])->setIconSize({size.glyphWidth, size.glyphHeight});
}

void MainWindow::AfterConstruction(const std::vector<std::u16string>& arguments) {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const int dotsPerInch = screen ? qRound(screen->logicalDotsPerInch()) : 96;
    form().AfterConstruction(arguments, dotsPerInch);
}

int MainWindow::swallowedInput() const {
    return EventLoop::instance().swallowedInput();
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

void MainWindow::setBusy(bool busy) {
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        progress_->setValue(0);
        progress_->show();
        return;
    }
    QApplication::restoreOverrideCursor();
    progress_->hide();
}

void MainWindow::setProgress(int permille) {
    progress_->setValue(permille);
    emit progress(permille);
}

QLineEdit* MainWindow::edit(ui::Field field) const {
    static constexpr int ids[] = {ui::ids::msiedit, ui::ids::appicon, ui::ids::exeedit};
    return static_cast<QLineEdit*>(controls_.at(ids[static_cast<int>(field)]));
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
    static constexpr int ids[] = {ui::ids::nameLabel, ui::ids::versionLabel, ui::ids::manufacturerLabel};
    auto* target = static_cast<QLabel*>(controls_.at(ids[static_cast<int>(which)]));
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

void MainWindow::showAboutWindow() {
    if (!about_) return;
    about_->show();
    about_->raise();
    about_->activateWindow();
}

int MainWindow::logAdd(std::u16string_view line) {
    if (statuslist_->count() >= kLogCapacity) throw ui::EOutOfResources(ui::kUnableToInsertLine);
    statuslist_->addItem(toQString(line));
    return statuslist_->count() - 1;
}

void MainWindow::logClear() {
    statuslist_->clear();
}

int MainWindow::logHorizontalExtent() const {
    return logDelegate_->extent;
}

void MainWindow::logSetHorizontalExtent(int pixels) {
    logDelegate_->extent = pixels;
    statuslist_->doItemsLayout();
}

void MainWindow::logSetTopIndex(int index) {
    if (QListWidgetItem* item = statuslist_->item(index))
        statuslist_->scrollToItem(item, QAbstractItemView::PositionAtTop);
}

void MainWindow::logRepaint() {
    statuslist_->viewport()->repaint();
}

int MainWindow::logTextWidth(std::u16string_view text) const {
    return statuslist_->fontMetrics().horizontalAdvance(toQString(text));
}

} // namespace pakforge::qt
