// The whole program on a real X server (Xvfb), driven from outside with
// xdotool as a person would: the three-argument start that succeeds ends
// without a window; one that fails shows its box, then the window, and the
// process reports the failure. An update check's answer that comes during a
// build waits for the build's end and then takes input.
#include "Fixtures.h"
#include "LoopbackServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;
using namespace std::chrono_literals;

void needTools() {
    for (const char* tool : {"Xvfb", "xdotool"}) {
        if (haveTool(tool)) continue;
        if (std::getenv("CI")) FAIL() << tool << " is missing (scripts/setup.sh installs it)";
        GTEST_SKIP() << tool << " is missing";
    }
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    for (const auto& assignment : env) ::putenv(const_cast<char*>(assignment.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

// Waits for the process to end, at most `limit`; its exit status, or -1.
int waitExit(pid_t pid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        std::this_thread::sleep_for(50ms);
    }
    return -1;
}

class XServer {
  public:
    XServer() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        // The server picks a free display and tells us which.
        pid_ = spawn(
            {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            {});
        ::close(fds[1]);
        std::string number;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        display_ = ":" + number;
    }
    ~XServer() {
        ::kill(pid_, SIGTERM);
        waitExit(pid_, 30s);
    }
    const std::string& display() const { return display_; }

    int xdotool(const std::string& arguments, std::string* out = nullptr) const {
        return runCommand("DISPLAY=" + display_ + " xdotool " + arguments + " 2>/dev/null", out);
    }
    // The visible windows whose title matches the pattern.
    std::vector<std::string> windowIds(const std::string& pattern) const {
        std::string ids;
        xdotool("search --onlyvisible --name " + shellQuote(pattern), &ids);
        std::vector<std::string> found;
        std::istringstream lines(ids);
        for (std::string id; std::getline(lines, id);) found.push_back(id);
        return found;
    }
    // Waits for one; its id, or empty.
    std::string waitForWindow(const std::string& pattern, std::chrono::seconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (const auto ids = windowIds(pattern); !ids.empty()) return ids.front();
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }
    void click(const std::string& window, int x, int y) const {
        xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
                " click 1");
    }
    // The whole screen as a person sees it.
    void screenshot(const std::filesystem::path& file) const {
        runCommand("DISPLAY=" + display_ + " import -window root " + shellQuote(file.string()));
    }
    // The visible windows titled "Pakforge" and their sizes ("WxH").
    std::vector<std::pair<std::string, std::string>> pakforgeWindows() const {
        std::vector<std::pair<std::string, std::string>> windows;
        for (const std::string& id : windowIds("^Pakforge$")) {
            std::string geometry;
            xdotool("getwindowgeometry " + id, &geometry);
            const auto at = geometry.find("Geometry: ");
            windows.emplace_back(id, at == std::string::npos
                                         ? ""
                                         : geometry.substr(at + 10, geometry.find('\n', at) - at - 10));
        }
        return windows;
    }
    // Waits until exactly one such window is up; its id and size.
    std::pair<std::string, std::string> waitForOneWindow(std::chrono::seconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const auto windows = pakforgeWindows();
            if (windows.size() == 1) return windows[0];
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

class ThreeArguments : public ::testing::Test {
  protected:
    void SetUp() override {
        needTools();
        if (HasFatalFailure() || IsSkipped()) return;
        container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
        package = makeMsi(dir.path(), "setup.msi");
    }
    pid_t start(const XServer& x, const fs::path& containerFile, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{(binaryDir() / "bin" / "pakforge").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return spawn(argv, {"DISPLAY=" + x.display(), "PAKFORGE_CONTAINER=" + containerFile.string(),
                            "QT_QPA_PLATFORM=xcb"});
    }

    TempDir dir;
    fs::path container, package;
};

TEST_F(ThreeArguments, SuccessBuildsAndEndsWithoutStayingOpen) {
    XServer x;
    const fs::path out = dir / "setup.exe";
    const pid_t app = start(x, container, {package.string(), sampleIcon().string(), out.string()});
    EXPECT_EQ(waitExit(app, 120s), 0);
    EXPECT_TRUE(x.pakforgeWindows().empty());
    EXPECT_TRUE(unzipTestPasses(out));
    EXPECT_FALSE(mainIconEntries(out).empty());
}

TEST_F(ThreeArguments, FailureShowsTheBoxThenTheWindowAndEndsWithOne) {
    XServer x;
    const fs::path out = dir / "setup.exe";
    const pid_t app = start(x, dir / "missing.dat", {package.string(), sampleIcon().string(), out.string()});

    // First the box alone, captioned like the program, smaller than the window.
    const auto box = x.waitForOneWindow(60s);
    ASSERT_FALSE(box.first.empty()) << "no message box came up";
    EXPECT_NE(box.second, "590x402") << "the window showed before the box was answered";
    x.xdotool("key --window " + box.first + " Return");

    // Then the main window, open for the user, with the product labels read.
    std::pair<std::string, std::string> window;
    for (int i = 0; i < 600 && window.second != "590x402"; ++i) {
        window = x.waitForOneWindow(60s);
        if (window.second != "590x402") std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(window.second, "590x402");
    EXPECT_EQ(waitExit(app, 1s), -1) << "the window stays open";
    x.xdotool("windowfocus --sync " + window.first);
    x.xdotool("key ctrl+q");
    EXPECT_EQ(waitExit(app, 60s), 1);
    EXPECT_FALSE(fs::exists(out));
}

// The sequence of a person who asks for updates and builds while a slow
// server still holds the answer: About, "Check updates...", Build; the answer
// lands during the build. Its dialog must wait for the build's end (inside
// the build's loop it would take no input and hold the window for good),
// then take a key, and the window must close as usual afterwards. The same
// when the build fails at its very end: the dialog comes with its box.
class UpdateCheck : public ::testing::TestWithParam<bool> {};

TEST_P(UpdateCheck, AnswerDuringABuildWaitsForItsEndThenTakesInput) {
    const bool failing = GetParam();
    needTools();
    REQUIRE_LOOPBACK_TOOLS();
    if (HasFatalFailure() || IsSkipped()) return;
    TempDir dir;
    const fs::path container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    // Large, so that the build goes on for a good while after the answer.
    const fs::path package =
        makeMsi(dir.path(), "large.msi", {}, {{"data.bin", randomBytes(std::size_t{160} << 20, 5)}});
    const fs::path out = dir / "large.exe";
    // The build works in a temporary file beside the output until its end.
    const auto building = [&dir] {
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().extension() == ".tmp") return true;
        return false;
    };
    const fs::path shots = binaryDir() / "qt-xvfb-screenshots";
    const std::string shot = failing ? "update-answer-failed-build-" : "update-answer-build-";
    fs::create_directories(shots);
    LoopbackServer server;
    server.setCase("late");

    XServer x;
    const pid_t app = spawn({(binaryDir() / "bin" / "pakforge").string()},
                            {"DISPLAY=" + x.display(), "PAKFORGE_CONTAINER=" + container.string(),
                             "QT_QPA_PLATFORM=xcb", "PAKFORGE_UPDATE_HOST=" + server.authority(),
                             "PAKFORGE_UPDATE_CA=" + server.caFile().string(), "no_proxy=*", "NO_PROXY=*"});
    const auto [window, size] = x.waitForOneWindow(60s);
    ASSERT_EQ(size, "590x402");
    x.click(window, 200, 123); // the package field
    x.xdotool("type --delay 5 " + shellQuote(package.string()));
    x.click(window, 200, 235); // the output field
    x.xdotool("type --delay 5 " + shellQuote(out.string()));

    x.click(window, 555, 66); // About
    const std::string about = x.waitForWindow("^About Pakforge$", 30s);
    ASSERT_FALSE(about.empty()) << "the About window did not open";
    x.click(about, 100, 163); // Check updates...
    for (int i = 0; i < 300 && server.requests().empty(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(server.requests().empty()) << "the check asked nothing";

    x.click(window, 565, 292); // Build, where the About window leaves it visible
    for (int i = 0; i < 600 && !building(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(building()) << "the build did not start";
    server.releaseLateAnswer();
    for (int i = 0; i < 300 && !server.answered(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(server.answered());
    ASSERT_TRUE(building()) << "the build ended before the answer came; the package is too small";
    // A folder where the output goes: the build fails when it puts it there.
    if (failing) fs::create_directory(out);
    x.screenshot(shots / (shot + "running.png"));

    // A dialog seen while the build still works came up inside it.
    bool dialogDuringBuild = false;
    for (int i = 0; i < 3000 && !dialogDuringBuild; ++i) {
        const bool dialog = !x.windowIds("^Confirm$").empty();
        if (!building()) break;
        dialogDuringBuild = dialog;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_FALSE(dialogDuringBuild) << "the check's dialog opened inside the build";
    std::string failureBox;
    for (int i = 0; failing && i < 600 && failureBox.empty(); ++i) {
        for (const auto& [id, geometry] : x.pakforgeWindows())
            if (geometry != "590x402") failureBox = id;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(failureBox.empty(), !failing) << "the failed build's box";
    const std::string dialog = x.waitForWindow("^Confirm$", 120s);
    ASSERT_FALSE(dialog.empty()) << "the check's dialog never came";
    std::this_thread::sleep_for(500ms); // its first paint
    x.screenshot(shots / (shot + "ended.png"));
    x.xdotool("windowfocus --sync " + dialog);
    x.xdotool("key Escape");
    for (int i = 0; i < 300 && !x.windowIds("^Confirm$").empty(); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(x.windowIds("^Confirm$").empty()) << "the dialog took no key";
    if (!failureBox.empty()) {
        x.xdotool("windowfocus --sync " + failureBox);
        x.xdotool("key Return");
        for (int i = 0; i < 300 && x.pakforgeWindows().size() > 1; ++i) std::this_thread::sleep_for(100ms);
        EXPECT_EQ(x.pakforgeWindows().size(), 1u) << "the failed build's box took no key";
    }
    x.screenshot(shots / (shot + "answered.png"));

    x.xdotool("windowfocus --sync " + window);
    x.xdotool("key ctrl+q");
    const int status = waitExit(app, 60s);
    EXPECT_EQ(status, 0) << "the window did not close";
    if (status == -1) {
        ::kill(app, SIGKILL);
        waitExit(app, 30s);
    }
    if (!failing) {
        EXPECT_TRUE(unzipTestPasses(out));
    }
}

INSTANTIATE_TEST_SUITE_P(Build, UpdateCheck, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Failing" : "Succeeding"; });

} // namespace
} // namespace pakforge
