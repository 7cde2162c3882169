// The whole program on a real X server (Xvfb), driven from outside with
// xdotool as a person would: the three-argument start that succeeds ends
// without a window; one that fails shows its box, then the window, and the
// process reports the failure.
#include "Fixtures.h"
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
    // The visible windows titled "Pakforge" and their sizes ("WxH").
    std::vector<std::pair<std::string, std::string>> pakforgeWindows() const {
        std::string ids;
        xdotool("search --onlyvisible --name '^Pakforge$'", &ids);
        std::vector<std::pair<std::string, std::string>> windows;
        std::istringstream lines(ids);
        for (std::string id; std::getline(lines, id);) {
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

} // namespace
} // namespace pakforge
