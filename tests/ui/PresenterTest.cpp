// The main window's and the About window's behaviour through a fake view:
// what each control shows after each handler, over real packages, a real
// stub container and the real build.
#include "ui/AboutForm.h"
#include "ui/HelpFile.h"
#include "ui/MainForm.h"
#include "ui/WindowRules.h"

#include "Fixtures.h"
#include "compiler/Build.h"
#include "core/Utf16.h"
#include "pakforge/Version.h"
#include "support/FakeVersionCheck.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <map>
#include <optional>
#include <regex>

namespace pakforge::ui {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

std::string u8(std::u16string_view text) {
    return utf16ToUtf8(text);
}

class FakeMainView : public MainView {
  public:
    // View
    void messageBox(std::u16string_view caption, std::u16string_view text, MessageIcon icon) override {
        boxes.push_back({std::u16string(caption), std::u16string(text), icon});
    }
    bool openWithDesktop(std::u16string_view target) override {
        opened.push_back(u8(target));
        return desktopTakes(u8(target));
    }
    bool hasHelpViewer() const override { return helpViewer; }
    bool startHelpViewer(const fs::path& file, std::u16string_view suffix) override {
        viewerStarts.push_back(file.string() + "|" + u8(suffix));
        return viewerStarts_;
    }

    // Fields and labels
    std::u16string fieldText(Field field) const override {
        const auto it = fields.find(field);
        return it == fields.end() ? std::u16string() : it->second;
    }
    void setFieldText(Field field, std::u16string_view text) override { fields[field] = text; }
    void setLabelText(ProductLabel label, std::u16string_view text) override { labels[label] = text; }

    // The dialog: answers are queued by the test; nullopt cancels.
    bool executeOpenDialog(TOpenDialog& dialog) override {
        dialogsSeen.push_back(dialog);
        if (answers.empty()) throw std::logic_error("unexpected dialog");
        const auto answer = answers.front();
        answers.pop_front();
        if (!answer) return false;
        dialog.FileName = utf8ToUtf16(*answer);
        return true;
    }

    // The log: 7 pixels a character; refuses lines beyond `capacity`.
    void logClear() override {
        log.clear();
        ++clears;
    }
    int logAdd(std::u16string_view line) override {
        if (throwOnAdd) throw Exception("Access violation");
        if (static_cast<int>(log.size()) >= capacity) throw EOutOfResources(kUnableToInsertLine);
        log.push_back(u8(line));
        return static_cast<int>(log.size()) - 1;
    }
    void logSetTopIndex(int index) override { topIndex = index; }
    int logHorizontalExtent() const override { return extent; }
    void logSetHorizontalExtent(int pixels) override { extent = pixels; }
    int logTextWidth(std::u16string_view text) const override { return 7 * static_cast<int>(text.size()); }
    void logRepaint() override { ++repaints; }

    int statusBarHeight() const override { return barHeight; }
    void setStatusBarHeight(int px) override { barHeight = px; }
    int statusPanelCount() const override { return 2; }
    int statusPanelWidth(int panel) const override { return panels[panel]; }
    void setStatusPanelWidth(int panel, int px) override { panels[panel] = px; }
    int glyphWidth() const override { return glyphW; }
    void setGlyphWidth(int px) override { glyphW = px; }
    int glyphHeight() const override { return glyphH; }
    void setGlyphHeight(int px) override { glyphH = px; }

    void runBlocking(const std::function<void()>& work) override {
        ++blockingRuns;
        struct Flag {
            bool& on;
            ~Flag() { on = false; }
        } flag{inBlockingRun = true};
        work();
    }
    void onWindowThread(const std::function<void()>& fn) override {
        // Everything the build shows must come back through here.
        EXPECT_TRUE(inBlockingRun);
        ++handedOver;
        fn();
    }
    void showProgress(std::uint64_t done, std::uint64_t total) override {
        progress.emplace_back(done, total);
    }
    void showAboutWindow() override { ++aboutShown; }
    void postQuitRequest() override { ++quitRequests; }

    struct Box {
        std::u16string caption, text;
        MessageIcon icon;
    };
    std::vector<Box> boxes;
    std::vector<std::string> opened;
    std::function<bool(const std::string&)> desktopTakes = [](const std::string&) { return true; };
    bool helpViewer = false, viewerStarts_ = true;
    std::vector<std::string> viewerStarts;
    std::map<Field, std::u16string> fields;
    std::map<ProductLabel, std::u16string> labels;
    std::deque<std::optional<std::string>> answers;
    std::vector<TOpenDialog> dialogsSeen;
    std::vector<std::string> log;
    int capacity = 100000, clears = 0, topIndex = -1, extent = 0, repaints = 0;
    bool throwOnAdd = false;
    int barHeight = 19, glyphW = 24, glyphH = 24;
    int panels[2] = {300, 100};
    int blockingRuns = 0, handedOver = 0, aboutShown = 0, quitRequests = 0;
    bool inBlockingRun = false;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
};

std::string label(const FakeMainView& view, ProductLabel which) {
    const auto it = view.labels.find(which);
    return it == view.labels.end() ? std::string("(unset)") : u8(it->second);
}

class MainFormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
        settings.container = container;
        settings.helpFile = dir / "pakforge.chm";
        settings.versionCheck = [] { return std::make_unique<FakeVersionCheck>(); };
    }
    fs::path package(const std::string& name, const ProductInfo& info = {}) {
        return makeMsi(dir.path(), name, info);
    }

    TempDir dir;
    fs::path container;
    MainFormSettings settings;
    FakeMainView view;
};

TEST(WindowRules, ExeExtensionReplacesOnlyTheFileNamesExtension) {
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/setup.msi")), "/a/setup.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/out")), "/a/out.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/out.dat")), "/a/out.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/out.tar.gz")), "/a/out.tar.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/tools.old/setup")), "/a/tools.old/setup.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"C:\\tools.old\\setup")), "C:\\tools.old\\setup.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"C:setup")), "C:setup.exe");
    EXPECT_EQ(u8(changeExtensionToExe(u"/a/setup.")), "/a/setup.exe");
}

TEST(WindowRules, TopLevelHandlerTextAndCaption) {
    FakeMainView view;
    showException(view, std::make_exception_ptr(Exception("Cannot open file \"x\". No such file")));
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(u8(view.boxes[0].caption), "Pakforge");
    EXPECT_EQ(view.boxes[0].icon, MessageIcon::Error);
    EXPECT_EQ(u8(view.boxes[0].text), "Cannot open file \"x\". No such file.");
    // Characters at or below the full stop get none; any above do.
    EXPECT_EQ(u8(exceptionBoxText(std::make_exception_ptr(Exception("Done.")))), "Done.");
    EXPECT_EQ(u8(exceptionBoxText(std::make_exception_ptr(Exception("Why!")))), "Why!");
    EXPECT_EQ(u8(exceptionBoxText(std::make_exception_ptr(Exception("caf\xc3\xa9")))), "caf\xc3\xa9.");
    EXPECT_EQ(u8(exceptionBoxText(std::make_exception_ptr(42))), "An unknown error occurred.");
}

TEST_F(MainFormTest, PickingAPackageFillsTheFieldsAndEmptiesTheIcon) {
    fs::create_directories(dir / "tools.old");
    const fs::path msi = makeMsi(dir / "tools.old", "setup.msi", {"Widget", "4.5.6", "Acme"});
    Tmainform form(view, settings);
    view.fields[Field::appicon] = u"/icons/old.ico";
    view.fields[Field::exeedit] = u"/somewhere/else.exe";

    view.answers = {msi.string()};
    form.OpenButtonClick();
    EXPECT_EQ(u8(view.dialogsSeen.back().Filter), "MSI Packages|*.msi");
    EXPECT_EQ(u8(view.fields[Field::msiedit]), msi.string());
    EXPECT_EQ(u8(view.fields[Field::exeedit]), (dir / "tools.old" / "setup.exe").string());
    EXPECT_EQ(u8(view.fields[Field::appicon]), "");
    EXPECT_EQ(label(view, ProductLabel::nameLabel), "Product Name: Widget");
    EXPECT_EQ(label(view, ProductLabel::versionLabel), "Product Version: 4.5.6");
    EXPECT_EQ(label(view, ProductLabel::manufacturerLabel), "Manufacturer: Acme");

    // A file that is no package: the path goes in, the labels stay.
    const fs::path notPackage = dir / "notes.msi";
    writeText(notPackage, "plain text");
    view.answers = {notPackage.string()};
    form.OpenButtonClick();
    EXPECT_EQ(u8(view.fields[Field::msiedit]), notPackage.string());
    EXPECT_EQ(label(view, ProductLabel::nameLabel), "Product Name: Widget");

    // A cancel changes nothing, not even the icon field.
    view.fields[Field::appicon] = u"/icons/kept.ico";
    view.answers = {std::nullopt};
    form.OpenButtonClick();
    EXPECT_EQ(u8(view.fields[Field::appicon]), "/icons/kept.ico");
    EXPECT_EQ(u8(view.fields[Field::msiedit]), notPackage.string());
}

TEST_F(MainFormTest, LabelsShowDashesUntilAPackageIsRead) {
    Tmainform form(view, settings);
    const fs::path notPackage = dir / "x.msi";
    writeText(notPackage, "no");
    view.answers = {notPackage.string()};
    form.OpenButtonClick();
    EXPECT_EQ(label(view, ProductLabel::nameLabel), "Product Name: -");
    EXPECT_EQ(label(view, ProductLabel::versionLabel), "Product Version: -");
    EXPECT_EQ(label(view, ProductLabel::manufacturerLabel), "Manufacturer: -");
}

TEST_F(MainFormTest, OutputAndIconButtonsShareOneDialogWhoseFileNameCarriesOver) {
    Tmainform form(view, settings);
    view.answers = {"/w/out", "/w/out.dat", "/w/tools.old/setup", "/w/my.ico", std::nullopt};
    form.browseexeClick();
    EXPECT_EQ(u8(view.dialogsSeen[0].Filter), "EXE Files (*.exe)|*.exe");
    EXPECT_EQ(u8(view.fields[Field::exeedit]), "/w/out.exe");
    form.browseexeClick();
    EXPECT_EQ(u8(view.fields[Field::exeedit]), "/w/out.exe");
    EXPECT_EQ(u8(view.dialogsSeen[1].FileName), "/w/out") << "starts from the file last chosen";
    form.browseexeClick();
    EXPECT_EQ(u8(view.fields[Field::exeedit]), "/w/tools.old/setup.exe");

    form.Chooseicon();
    EXPECT_EQ(u8(view.dialogsSeen[3].Filter), "ICO Files (*.ico)|*.ico");
    EXPECT_EQ(u8(view.dialogsSeen[3].FileName), "/w/tools.old/setup");
    EXPECT_EQ(u8(view.fields[Field::appicon]), "/w/my.ico");
    EXPECT_EQ(u8(view.fields[Field::exeedit]), "/w/tools.old/setup.exe") << "only its own field";

    form.Chooseicon(); // cancelled
    EXPECT_EQ(u8(view.fields[Field::appicon]), "/w/my.ico");
    EXPECT_EQ(u8(form.OpenDialog.FileName), "/w/my.ico");
}

// The log lines of one build, with the times taken out.
std::vector<std::string> withoutTimes(const std::vector<std::string>& log) {
    std::vector<std::string> lines;
    const std::regex time(R"(\[[^\]]+\])");
    for (const auto& line : log) lines.push_back(std::regex_replace(line, time, "[T]"));
    return lines;
}

TEST_F(MainFormTest, BuildLogsItsStagesAndASecondBuildClearsTheFirst) {
    const fs::path msi = package("setup.msi");
    const fs::path out = dir / "setup.exe";
    Tmainform form(view, settings);
    view.fields[Field::msiedit] = pathToUtf16(msi);
    view.fields[Field::appicon] = pathToUtf16(sampleIcon());
    view.fields[Field::exeedit] = pathToUtf16(out);

    form.CompileClick();
    EXPECT_EQ(view.blockingRuns, 1);
    EXPECT_EQ(view.clears, 1);
    EXPECT_EQ(withoutTimes(view.log),
              (std::vector<std::string>{"*** Starting Compile [T]", "Updating Icon...",
                                        "Processing MSI package...", "Building EXE file...",
                                        "EXE file saved as: " + out.string(), "*** Finished. [T]"}));
    EXPECT_EQ(view.topIndex, 5);
    EXPECT_EQ(view.handedOver, 7) << "the clearing and six lines came back to the window";
    ASSERT_FALSE(view.progress.empty());
    EXPECT_EQ(view.progress.back().first, view.progress.back().second);
    EXPECT_TRUE(unzipTestPasses(out));
    EXPECT_FALSE(mainIconEntries(out).empty());

    // No icon this time: five lines, the first build's gone.
    view.fields[Field::appicon] = u"";
    form.CompileClick();
    EXPECT_EQ(view.clears, 2);
    EXPECT_EQ(withoutTimes(view.log),
              (std::vector<std::string>{"*** Starting Compile [T]", "Processing MSI package...",
                                        "Building EXE file...", "EXE file saved as: " + out.string(),
                                        "*** Finished. [T]"}));
}

TEST_F(MainFormTest, BuildWithAnEmptyOutputFieldDoesNothing) {
    Tmainform form(view, settings);
    form.StatusMessage(u"an earlier line");
    view.fields[Field::msiedit] = pathToUtf16(package("setup.msi"));
    view.fields[Field::exeedit] = u"";
    form.CompileClick();
    EXPECT_EQ(view.log, std::vector<std::string>{"an earlier line"});
    EXPECT_EQ(view.clears, 0);
    EXPECT_EQ(view.blockingRuns, 0) << "the window is not even held";
}

TEST_F(MainFormTest, AFailedBuildReachesTheCallerAndKeepsTheLinesWrittenSoFar) {
    Tmainform form(view, settings);
    view.fields[Field::msiedit] = pathToUtf16(dir / "missing.msi");
    view.fields[Field::exeedit] = pathToUtf16(dir / "out.exe");
    try {
        form.CompileClick();
        FAIL() << "the build should fail";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message().rfind("Cannot open file \"" + (dir / "missing.msi").string() + "\".", 0), 0u)
            << e.message();
    }
    EXPECT_EQ(withoutTimes(view.log),
              (std::vector<std::string>{"*** Starting Compile [T]", "Processing MSI package...",
                                        "Building EXE file..."}));
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST_F(MainFormTest, StatusLogExtentFollowsTheWidestLineAndNewestLineIsInView) {
    Tmainform form(view, settings);
    form.StatusMessage(u"0123456789"); // 70 px
    EXPECT_EQ(view.extent, 75);
    form.StatusMessage(u"short");
    EXPECT_EQ(view.extent, 75) << "a shorter line leaves it";
    EXPECT_EQ(view.topIndex, 1);
    form.StatusMessage(u"a much longer line than before");
    EXPECT_EQ(view.extent, 7 * 30 + 5);
    EXPECT_EQ(view.topIndex, 2);
    EXPECT_EQ(view.repaints, 3) << "each line is painted as it is written";
}

TEST_F(MainFormTest, StatusLogResetsWhenTheListRefusesALine) {
    Tmainform form(view, settings);
    view.capacity = 3;
    form.StatusMessage(u"a very very long line");
    form.StatusMessage(u"b");
    form.StatusMessage(u"c");
    form.StatusMessage(u"dd");
    EXPECT_EQ(view.log, (std::vector<std::string>{"*** Log size limit reached, list reset.", "dd"}));
    EXPECT_EQ(view.extent, 2 * 7 + 5) << "measured from the new line alone";
    EXPECT_EQ(view.topIndex, 1);

    // A list that refuses even after the reset: the caller sees it.
    view.capacity = 1;
    EXPECT_THROW(form.StatusMessage(u"e"), EOutOfResources);
    // Any other failure passes on without a reset.
    view.capacity = 100;
    view.log = {"kept"};
    view.throwOnAdd = true;
    EXPECT_THROW(form.StatusMessage(u"f"), Exception);
    EXPECT_EQ(view.log, std::vector<std::string>{"kept"});
}

TEST_F(MainFormTest, ThreeArgumentStartBuildsQuietlyAndAsksToQuit) {
    const fs::path msi = package("setup.msi", {"Quiet", "1.0", "Maker"});
    fs::copy_file(sampleIcon(), dir / "app.ico");
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    Tmainform form(view, settings);
    view.fields[Field::appicon] = u"left over";
    form.AfterConstruction({u"setup.msi", u"./app.ico", u"sub/../out.exe"}, 96);
    fs::current_path(before);

    EXPECT_EQ(view.quitRequests, 1);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_FALSE(form.commandLineBuildFailed());
    EXPECT_TRUE(view.log.empty());
    EXPECT_EQ(view.clears, 0) << "logging is off";
    EXPECT_EQ(u8(view.fields[Field::appicon]), "");
    EXPECT_EQ(label(view, ProductLabel::nameLabel), "Product Name: Quiet");
    EXPECT_TRUE(unzipTestPasses(dir / "out.exe"));
    EXPECT_FALSE(mainIconEntries(dir / "out.exe").empty());
}

TEST_F(MainFormTest, FailedThreeArgumentStartShowsTheBoxAndStaysOpen) {
    const fs::path msi = package("setup.msi", {"Stays", "2.0", "Maker"});
    settings.container = dir / "no-such.dat";
    Tmainform form(view, settings);
    form.AfterConstruction({pathToUtf16(msi), u"no-icon.ico", pathToUtf16(dir / "out.exe")}, 96);
    EXPECT_EQ(view.quitRequests, 0);
    EXPECT_TRUE(form.commandLineBuildFailed());
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(u8(view.boxes[0].caption), "Pakforge");
    const std::string text = u8(view.boxes[0].text);
    EXPECT_EQ(text.rfind("Cannot open file \"" + (dir / "no-such.dat").string() + "\".", 0), 0u) << text;
    EXPECT_EQ(text.back(), '.');
    EXPECT_EQ(label(view, ProductLabel::nameLabel), "Product Name: Stays") << "read before the build";
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

// The window's Build and the three-argument start refuse an output that is
// one of the build's own inputs under another name, before anything is
// written; the start shows it in the box and stays open.
TEST_F(MainFormTest, NeitherTheWindowNorTheStartWritesOverAnInput) {
    const fs::path msi = package("setup.msi");
    fs::copy_file(sampleIcon(), dir / "app.ico");
    fs::create_symlink(msi, dir / "link.exe");
    fs::create_hard_link(dir / "app.ico", dir / "hard.exe");
    const auto packageBytes = readFile(msi);
    const auto iconBytes = readFile(dir / "app.ico");

    Tmainform form(view, settings);
    view.fields[Field::msiedit] = pathToUtf16(msi);
    view.fields[Field::exeedit] = pathToUtf16(dir / "link.exe");
    try {
        form.CompileClick();
        FAIL() << "the build should be refused";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "The output \"" + (dir / "link.exe").string() + "\" is the package \"" +
                                   msi.string() + "\" itself: choose another output path.");
    }
    EXPECT_TRUE(view.log.empty());

    FakeMainView startView;
    Tmainform start(startView, settings);
    start.AfterConstruction({pathToUtf16(msi), pathToUtf16(dir / "app.ico"), pathToUtf16(dir / "hard.exe")},
                            96);
    EXPECT_EQ(startView.quitRequests, 0);
    ASSERT_EQ(startView.boxes.size(), 1u);
    EXPECT_EQ(u8(startView.boxes[0].text), "The output \"" + (dir / "hard.exe").string() +
                                               "\" is the icon \"" + (dir / "app.ico").string() +
                                               "\" itself: choose another output path.");
    EXPECT_EQ(readFile(msi), packageBytes);
    EXPECT_EQ(readFile(dir / "app.ico"), iconBytes);
}

TEST_F(MainFormTest, OtherArgumentCountsOpenTheWindowAsUsual) {
    const fs::path msi = package("setup.msi");
    const std::u16string p = pathToUtf16(msi), o = pathToUtf16(dir / "out.exe");
    for (const auto& args : std::vector<std::vector<std::u16string>>{
             {}, {p, o}, {p, u"", o, u"x"}, {p, u"", o} /* the empty pair ends the count */}) {
        FakeMainView fresh;
        Tmainform form(fresh, settings);
        form.AfterConstruction(args, 96);
        EXPECT_EQ(fresh.quitRequests, 0);
        EXPECT_EQ(fresh.blockingRuns, 0);
        EXPECT_TRUE(fresh.boxes.empty());
    }
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

// Explorer's context-menu entry starts the window with the package alone:
// the fields come out as the package Browse... button leaves them, and
// nothing is built. A name that is no regular file opens the window as usual.
TEST_F(MainFormTest, OneArgumentStartPresetsThePackageAsBrowseDoes) {
    fs::create_directories(dir / "in");
    const fs::path msi = makeMsi(dir / "in", "tool.v2.msi", {"Preset", "7.8.9", "Maker"});
    const fs::path notPackage = dir / "in" / "notes.txt";
    writeText(notPackage, "plain text");
    ASSERT_EQ(mkfifo((dir / "pipe.msi").c_str(), 0600), 0);
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    for (const fs::path& target : {msi, notPackage}) {
        FakeMainView started, browsed;
        for (FakeMainView* v : {&started, &browsed}) v->fields[Field::appicon] = u"/icons/old.ico";
        Tmainform start(started, settings), browse(browsed, settings);
        start.AfterConstruction({pathToUtf16(fs::path("sub/..") / fs::relative(target, dir.path()))}, 96);
        browsed.answers = {target.string()};
        browse.OpenButtonClick();

        EXPECT_EQ(started.fields, browsed.fields) << target;
        EXPECT_EQ(started.labels, browsed.labels) << target;
        EXPECT_EQ(u8(started.fields[Field::msiedit]), target.string());
        EXPECT_EQ(started.quitRequests + started.blockingRuns + started.boxes.size(), 0u) << target;
        EXPECT_FALSE(start.commandLineBuildFailed());
    }
    {
        FakeMainView started;
        Tmainform start(started, settings);
        start.AfterConstruction({u"in/tool.v2.msi"}, 96);
        EXPECT_EQ(u8(started.fields[Field::exeedit]), (dir / "in" / "tool.v2.exe").string());
        EXPECT_EQ(label(started, ProductLabel::versionLabel), "Product Version: 7.8.9");
    }

    for (const std::u16string argument : {u"in", u"missing.msi", u"pipe.msi", u""}) {
        FakeMainView started;
        started.fields[Field::appicon] = u"/icons/kept.ico";
        Tmainform start(started, settings);
        start.AfterConstruction({argument}, 96);
        EXPECT_EQ(u8(started.fields[Field::appicon]), "/icons/kept.ico") << u8(argument);
        EXPECT_EQ(started.fields.count(Field::msiedit), 0u) << u8(argument);
        EXPECT_TRUE(started.labels.empty()) << u8(argument);
    }
    fs::current_path(before);
}

TEST_F(MainFormTest, StartUpConfiguresTheUpdateCheckAndScalesForTheScreen) {
    FakeVersionCheck* check = nullptr;
    settings.versionCheck = [&check] {
        auto made = std::make_unique<FakeVersionCheck>();
        check = made.get();
        return made;
    };
    Tmainform form(view, settings);
    form.AfterConstruction({}, 96);
    ASSERT_EQ(form.FVersionCheck(), check);
    const std::string host = u8(vendorHost());
    EXPECT_EQ(u8(check->settings().URLCurrVerFile), "https://" + host + "/pakforge/pakforge.xml");
    EXPECT_EQ(u8(check->settings().DownloadURL), "https://" + host + "/downloads/pakforge.exe");
    EXPECT_EQ(u8(check->settings().SiteName), host);
    EXPECT_TRUE(check->settings().FailureDlg);
    EXPECT_TRUE(check->settings().DownloadDlg);
    EXPECT_EQ(check->checks(), 0) << "nothing starts a check at start-up";
    EXPECT_EQ(view.barHeight, 19);
    EXPECT_EQ(view.glyphW, 24);
    form.FormDestroy();
    EXPECT_EQ(form.FVersionCheck(), nullptr);

    FakeMainView dense;
    Tmainform scaled(dense, settings);
    scaled.AfterConstruction({}, 144);
    EXPECT_EQ(dense.barHeight, 29); // 28.5 rounds up
    EXPECT_EQ(dense.panels[0], 450);
    EXPECT_EQ(dense.panels[1], 150);
    EXPECT_EQ(dense.glyphW, 36);
    EXPECT_EQ(dense.glyphH, 36);
    EXPECT_EQ(MulDiv(-19, 144, 96), -29);
    EXPECT_EQ(MulDiv(5, 7, 0), -1);
    EXPECT_EQ(MulDiv(1 << 30, 4, 2), -1) << "too large for the result";
}

class FakeAboutView : public AboutView {
  public:
    void messageBox(std::u16string_view, std::u16string_view, MessageIcon) override {}
    bool openWithDesktop(std::u16string_view target) override {
        opened.push_back(u8(target));
        return false;
    }
    void setVersionLine(std::u16string_view text) override { versionLine = u8(text); }
    void hideWindow() override { ++hides; }
    std::vector<std::string> opened;
    std::string versionLine;
    int hides = 0;
};

class FixedVersion : public FakeVersionCheck {
  public:
    explicit FixedVersion(std::u16string version) : version_(std::move(version)) {}
    std::u16string FileVersion() const override { return version_; }

  private:
    std::u16string version_;
};

TEST(AboutForm, VersionLineAndLinks) {
    FakeAboutView view;
    FixedVersion check(u"1.2.3.4");
    TAboutForm about(view, check);
    about.FormCreate();
    EXPECT_EQ(view.versionLine, "Product Version: 1.2.3.4 (x86)");

    about.InfoLabelClick(); // a browser that does not open is not reported
    ASSERT_EQ(view.opened.size(), 1u);
    EXPECT_EQ(view.opened[0], "https://" + u8(vendorHost()) + "/pakforge/?ref=pakforge");

    about.UpdateLabelClick();
    EXPECT_TRUE(check.noUpdatesDlg());
    EXPECT_EQ(check.checks(), 1);
    about.Button1Click();
    EXPECT_EQ(view.hides, 1);

    FixedVersion none(u"");
    TAboutForm bare(view, none);
    bare.FormCreate();
    EXPECT_EQ(view.versionLine, "Product Version:  (x86)");

    // Until the version block is read, the build's version stands in.
    EXPECT_EQ(u8(programFileVersion()), std::string(PAKFORGE_VERSION) + ".0");
}

TEST_F(MainFormTest, HelpOpensTheCompiledFileElseTheHtmlElseSaysSo) {
    Tmainform form(view, settings);
    const fs::path chm = dir / "pakforge.chm";
    const fs::path html = dir / "help" / "index.html";
    const std::string message = "Unable to open help file " + chm.string();

    // Neither there: the message, and the top-level handler adds the full stop.
    try {
        form.helpbuttonClick();
        FAIL();
    } catch (...) {
        showException(view, std::current_exception());
    }
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(u8(view.boxes[0].text), message + ".");
    EXPECT_TRUE(view.opened.empty());

    // The compiled file with a handler for it.
    writeText(chm, "ITSF");
    form.helpbuttonClick();
    EXPECT_EQ(view.opened, std::vector<std::string>{chm.string()});

    // No handler for it: the HTML help instead, and only when that is there.
    view.desktopTakes = [](const std::string& target) { return target.ends_with(".html"); };
    view.opened.clear();
    try {
        form.helpbuttonClick();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), message);
    }
    fs::create_directories(html.parent_path());
    writeText(html, "<html></html>");
    view.opened.clear();
    form.helpbuttonClick();
    EXPECT_EQ(view.opened, (std::vector<std::string>{chm.string(), html.string()}));
}

TEST_F(MainFormTest, HelpGoesOnlyToTheSystemsViewerWhereThereIsOne) {
    view.helpViewer = true;
    Tmainform form(view, settings);
    const fs::path chm = dir / "pakforge.chm";
    const fs::path html = dir / "help" / "index.html";
    const std::string message = "Unable to open help file " + chm.string();
    fs::create_directories(html.parent_path());
    writeText(html, "<html></html>");

    // Missing: the message, with no viewer started and no HTML instead.
    try {
        form.helpbuttonClick();
        FAIL() << "a missing help file went unreported";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), message);
    }
    EXPECT_TRUE(view.viewerStarts.empty());

    writeText(chm, "ITSF");
    form.helpbuttonClick();
    OpenHelpFile(view, chm, u"usage.htm");
    EXPECT_EQ(view.viewerStarts,
              (std::vector<std::string>{chm.string() + "|", chm.string() + "|::usage.htm"}));

    // A viewer that does not start is the same failure.
    view.viewerStarts_ = false;
    EXPECT_THROW(form.helpbuttonClick(), Exception);
    EXPECT_TRUE(view.opened.empty());
}

} // namespace
} // namespace pakforge::ui
