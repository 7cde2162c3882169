#include "ui/MainForm.h"

#include "compiler/Build.h"
#include "core/Utf16.h"
#include "ui/HelpFile.h"
#include "ui/WindowHandOver.h"
#include "ui/WindowRules.h"

#include <stdexcept>

namespace pakforge::ui {

namespace {

// The full-path rule of the command line: relative to the current folder,
// "." and ".." resolved; an absolute path stays as it is.
std::u16string fullPath(const std::u16string& argument) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(pathFromUtf16(argument), ec);
    return ec ? argument : pathToUtf16(full.lexically_normal());
}

} // namespace

Tmainform::Tmainform(MainView& view, MainFormSettings settings)
    : view_(view), settings_(std::move(settings)) {
    // Not optional: a window whose update check was left out would otherwise
    // fail only later, when it is first used.
    if (!settings_.versionCheck) throw std::invalid_argument("Tmainform: no version check was given");
}

Tmainform::~Tmainform() = default;

void Tmainform::AfterConstruction(const std::vector<std::u16string>& arguments, int dotsPerInch) {
    FormCreate(arguments);
    if (dotsPerInch != 96) scaleForDensity(dotsPerInch);
}

void Tmainform::scaleForDensity(int dotsPerInch) {
    // Each value once, from what it is now.
    view_.setStatusBarHeight(MulDiv(view_.statusBarHeight(), dotsPerInch, 96));
    for (int panel = 0; panel < view_.statusPanelCount(); ++panel)
        view_.setStatusPanelWidth(panel, MulDiv(view_.statusPanelWidth(panel), dotsPerInch, 96));
    view_.setGlyphWidth(MulDiv(view_.glyphWidth(), dotsPerInch, 96));
    view_.setGlyphHeight(MulDiv(view_.glyphHeight(), dotsPerInch, 96));
}

void Tmainform::FormCreate(const std::vector<std::u16string>& arguments) {
    FVersionCheck_ = settings_.versionCheck();
    FVersionCheck_->configure(defaultVersionCheckSettings());
    // (The Windows view enters its single-threaded COM apartment here.)

    const std::size_t count = commandLineArgumentCount(arguments);
    if (count == 1) presetPackage(arguments[0]);
    if (count != 3) return;
    clearsettings();
    const std::u16string package = fullPath(arguments[0]);
    const std::u16string icon = fullPath(arguments[1]);
    const std::u16string output = fullPath(arguments[2]);
    // A failure here is shown the way any handler's is, and the window then
    // stays open for the user instead of quitting.
    try {
        GetMSIProperty(package);
        build(package, icon, output, false);
    } catch (...) {
        commandLineBuildFailed_ = true;
        showException(view_, std::current_exception());
        return;
    }
    view_.postQuitRequest();
}

void Tmainform::presetPackage(const std::u16string& argument) {
    // Explorer's "Build EXE with Pakforge" starts the window with the package
    // alone. Only a regular file counts, so that nothing blocks on a FIFO and
    // a mistyped argument opens the window as usual.
    const std::u16string package = fullPath(argument);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(pathFromUtf16(package), ec)) return;
    // Shown as the Browse... button's failure would be; the window opens.
    runHandler(view_, [&] { pickPackage(package); });
}

void Tmainform::pickPackage(const std::u16string& package) {
    clearsettings();
    GetMSIProperty(package);
    view_.setFieldText(Field::msiedit, package);
    view_.setFieldText(Field::exeedit, changeExtensionToExe(package));
}

void Tmainform::FormDestroy() {
    // Waits for a check that is still running.
    FVersionCheck_.reset();
}

void Tmainform::OpenButtonClick() {
    OpenDialog.Filter = u"MSI Packages|*.msi";
    if (!view_.executeOpenDialog(OpenDialog)) return;
    pickPackage(OpenDialog.FileName);
}

void Tmainform::Chooseicon() {
    OpenDialog.Filter = u"ICO Files (*.ico)|*.ico";
    if (!view_.executeOpenDialog(OpenDialog)) return;
    view_.setFieldText(Field::appicon, OpenDialog.FileName);
}

void Tmainform::browseexeClick() {
    OpenDialog.Filter = u"EXE Files (*.exe)|*.exe";
    if (!view_.executeOpenDialog(OpenDialog)) return;
    view_.setFieldText(Field::exeedit, changeExtensionToExe(OpenDialog.FileName));
}

void Tmainform::clearsettings() {
    view_.setFieldText(Field::appicon, u"");
}

void Tmainform::CompileClick() {
    build(view_.fieldText(Field::msiedit), view_.fieldText(Field::appicon), view_.fieldText(Field::exeedit),
          true);
}

void Tmainform::About1Click() {
    view_.showAboutWindow();
}

std::filesystem::path Tmainform::helpFilePath() const {
    if (!settings_.helpFile.empty()) return settings_.helpFile;
    // Where only the HTML pages were installed, name the compiled file
    // beside them, so that the pages are found.
    std::error_code ec;
    const auto compiled = programDataFile(kHelpFileName);
    if (std::filesystem::exists(compiled, ec)) return compiled;
    const auto pages = programDataFile("help");
    return std::filesystem::exists(pages, ec) ? pages.parent_path() / kHelpFileName : compiled;
}

void Tmainform::helpbuttonClick() {
    OpenHelpFile(view_, helpFilePath(), u"");
}

void Tmainform::GetMSIProperty(const std::u16string& packagePath) {
    properties_.GetMSIProperty(packagePath);
    view_.setLabelText(ProductLabel::nameLabel, properties_.labels.nameLabel);
    view_.setLabelText(ProductLabel::versionLabel, properties_.labels.versionLabel);
    view_.setLabelText(ProductLabel::manufacturerLabel, properties_.labels.manufacturerLabel);
}

void Tmainform::StatusMessage(std::u16string_view text) {
    int index = 0;
    try {
        index = view_.logAdd(text);
        view_.logSetTopIndex(index);
    } catch (const EOutOfResources&) {
        view_.logClear();
        view_.logSetHorizontalExtent(0);
        view_.logAdd(kLogResetNotice);
        index = view_.logAdd(text);
        view_.logSetTopIndex(index);
    }
    const int width = view_.logTextWidth(text) + 5;
    if (view_.logHorizontalExtent() < width) view_.logSetHorizontalExtent(width);
    view_.logRepaint();
}

void Tmainform::build(const std::u16string& package, const std::u16string& icon, const std::u16string& output,
                      bool verbose) {
    if (output.empty()) return; // nothing at all, not even holding the window
    BuildRequest request;
    request.package = pathFromUtf16(package);
    request.icon = pathFromUtf16(icon);
    request.output = pathFromUtf16(output);
    request.verbose = verbose;
    request.container = settings_.container;

    // The work runs away from the window so that it keeps painting; what it
    // shows comes back to the window's thread.
    BuildEvents events;
    events.clearLog = [this] { view_.onWindowThread([this] { view_.logClear(); }); };
    events.statusMessage = [this](const std::string& line) {
        view_.onWindowThread([this, &line] { StatusMessage(utf8ToUtf16(line)); });
    };
    events.progress = [this](std::uint64_t done, std::uint64_t total) { view_.showProgress(done, total); };
    // The window drops input until the build ends, so a check's dialog waits.
    const WindowHandOver::Hold hold(settings_.handOver);
    view_.runBlocking([&] { pakforge::build(request, events); });
}

} // namespace pakforge::ui
