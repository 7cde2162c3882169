#include "ui/MainWindowBase.h"

#include "ui/WindowRules.h"

namespace pakforge::ui {

namespace {

WindowHandOver* ownUnlessGiven(std::unique_ptr<WindowHandOver>& own, WindowThread& window,
                               WindowHandOver* given) {
    if (given) return given;
    own = std::make_unique<WindowHandOver>(window);
    return own.get();
}

} // namespace

MainWindowBase::MainWindowBase(WindowThread& window, MainFormSettings settings)
    : handOver_(ownUnlessGiven(ownHandOver_, window, settings.handOver)), runner_(window, *this),
      form_(std::make_unique<Tmainform>(*this, std::move(settings))) {}

MainWindowBase::~MainWindowBase() = default;

void MainWindowBase::FormDestroy() {
    if (form_->FVersionCheck()) form_->FormDestroy();
}

void MainWindowBase::setStatusBarHeight(int pixels) {
    sizes_.statusBarHeight = pixels;
    sizesChanged();
}

void MainWindowBase::setStatusPanelWidth(int panel, int pixels) {
    sizes_.panelWidths[panel] = pixels;
    sizesChanged();
}

void MainWindowBase::setGlyphWidth(int pixels) {
    sizes_.glyphWidth = pixels;
    sizesChanged();
}

void MainWindowBase::setGlyphHeight(int pixels) {
    sizes_.glyphHeight = pixels;
    sizesChanged();
}

void MainWindowBase::runBlocking(const std::function<void()>& work) {
    runner_.run(work);
}

void MainWindowBase::onWindowThread(const std::function<void()>& fn) {
    handOver_->runOnWindowThread(fn);
}

void MainWindowBase::showProgress(std::uint64_t done, std::uint64_t total) {
    runner_.reportProgress(done, total);
}

void MainWindowBase::click(const ControlRow& row) {
    if (row.onMain) runHandler(*this, [this, &row] { (form_.get()->*row.onMain)(); });
}

} // namespace pakforge::ui
