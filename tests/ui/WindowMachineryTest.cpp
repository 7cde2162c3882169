// What both views share over their toolkit's primitives, driven here through
// a toolkit-free event loop: the build's worker runner, the one hand-over
// (a check's dialog never comes up while a build holds the window) and the
// program's start-up order.
#include "ui/StartUp.h"
#include "ui/WindowHandOver.h"
#include "ui/WorkerRunner.h"

#include "Fixtures.h"
#include "core/Utf16.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace pakforge::ui {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;
using namespace std::chrono_literals;

// An event loop of posted calls, turned by the test's own thread.
class QueueLoop : public WindowThread, public BusyDisplay {
  public:
    void post(std::function<void()> fn) override {
        const std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
        ++posts;
        changed_.notify_all();
    }
    void pump(const std::function<bool()>& finished, Input input) override {
        pumps.push_back(input);
        while (!finished()) runOne(true);
    }
    // Runs what is posted now, as an idle loop would.
    void drain() {
        while (runOne(false)) {
        }
    }
    Answer dialog(std::u16string_view caption, std::u16string_view text, MessageIcon icon,
                  Buttons buttons) override {
        events.push_back("dialog " + utf16ToUtf8(caption) + ": " + utf16ToUtf8(text) +
                         (busy ? " (busy)" : ""));
        lastIcon = icon;
        lastButtons = buttons;
        return buttons == Buttons::yesNo ? Answer::yes : Answer::ok;
    }
    bool openWithDesktop(std::u16string_view target) override {
        events.push_back("open " + utf16ToUtf8(target));
        return true;
    }
    void setBusy(bool on) override {
        busy = on;
        events.push_back(on ? "busy" : "idle");
    }
    void setProgress(int permille) override { shown.push_back(permille); }

    std::atomic<int> posts{0};
    std::vector<Input> pumps;
    std::vector<std::string> events;
    std::vector<int> shown;
    MessageIcon lastIcon{};
    Buttons lastButtons{};
    bool busy = false;

  private:
    bool runOne(bool wait) {
        std::unique_lock lock(mutex_);
        if (wait && !changed_.wait_for(lock, 60s, [&] { return !posted_.empty(); }))
            throw std::runtime_error("nothing was posted for a minute");
        if (posted_.empty()) return false;
        const auto fn = std::move(posted_.front());
        posted_.pop_front();
        lock.unlock();
        fn();
        return true;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> posted_;
};

// Sets an environment variable for a scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }
    const char* name_;
};

void waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 60000 && !condition(); ++i) std::this_thread::sleep_for(1ms);
    if (!condition()) throw std::runtime_error("timed out");
}

TEST(WindowMachinery, ACheckAnswerDuringABuildWaitsUntilTheBuildEnds) {
    QueueLoop window;
    WindowHandOver handOver(window);
    WorkerRunner runner(window, window);
    std::thread checker;
    TModalResult answer = TModalResult::mrNone;
    {
        const WindowHandOver::Hold hold(&handOver);
        runner.run([&] {
            const int before = window.posts;
            checker = std::thread([&] {
                handOver.Synchronize([&] {
                    answer = handOver.MessageDlg(u"There is a new version", TMsgDlgType::mtConfirmation,
                                                 mbYes | mbNo);
                });
            });
            waitFor([&] { return window.posts > before; }); // the check's call is queued first
            // The build's own lines still reach the window.
            handOver.runOnWindowThread([&] { window.events.push_back("build line"); });
            for (int i = 1; i <= 5000; ++i) runner.reportProgress(i, 5000);
        });
        EXPECT_EQ(window.pumps, std::vector<Input>{Input::drop});
        window.drain();
        EXPECT_EQ(window.events, (std::vector<std::string>{"busy", "build line", "idle"}));
    }
    window.pump([&] { return answer != TModalResult::mrNone; }, Input::keep);
    checker.join();
    EXPECT_EQ(window.events.back(), "dialog Confirm: There is a new version");
    EXPECT_EQ(window.lastIcon, MessageIcon::Question);
    EXPECT_EQ(window.lastButtons, Buttons::yesNo);
    EXPECT_EQ(answer, TModalResult::mrYes);
    // Merged progress: it only grows, the newest comes last, and far fewer
    // than the reports reach the window.
    ASSERT_FALSE(window.shown.empty());
    EXPECT_EQ(window.shown.back(), 1000);
    EXPECT_TRUE(std::is_sorted(window.shown.begin(), window.shown.end()));
}

TEST(WindowMachinery, FailuresComeOutOnTheWindowsThread) {
    QueueLoop window;
    WindowHandOver handOver(window);
    WorkerRunner runner(window, window);
    // From the work itself, and from a call it handed to the window.
    EXPECT_THROW(runner.run([] { throw Exception("from the work"); }), Exception);
    std::thread::id ranOn;
    try {
        runner.run([&] {
            handOver.runOnWindowThread([&] {
                ranOn = std::this_thread::get_id();
                throw Exception("from the window");
            });
        });
        ADD_FAILURE() << "nothing was thrown";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "from the window");
    }
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(runner.running());
    EXPECT_EQ(window.events, (std::vector<std::string>{"busy", "idle", "busy", "idle"}));
    // An error dialog of the check: its caption and icon.
    handOver.MessageDlg(u"Could not download", TMsgDlgType::mtError, mbOK);
    EXPECT_EQ(window.events.back(), "dialog Error: Could not download");
    EXPECT_EQ(window.lastIcon, MessageIcon::Error);
    EXPECT_EQ(window.lastButtons, Buttons::ok);
}

// A main window that shows nothing and records the order of start-up.
class RecordingMainWindow : public MainWindowBase {
  public:
    RecordingMainWindow(QueueLoop& loop, MainFormSettings settings, std::vector<std::string>& trace)
        : MainWindowBase(loop, std::move(settings)), trace_(trace) {}
    void AfterConstruction(const std::vector<std::u16string>& arguments) override {
        trace_.push_back("construct");
        form().AfterConstruction(arguments, 144);
    }
    void FormDestroy() override {
        if (form().FVersionCheck()) trace_.push_back("destroy");
        MainWindowBase::FormDestroy();
    }
    void messageBox(std::u16string_view, std::u16string_view text, MessageIcon) override {
        trace_.push_back("box " + utf16ToUtf8(text));
    }
    bool openWithDesktop(std::u16string_view) override { return false; }
    std::u16string fieldText(Field) const override { return {}; }
    void setFieldText(Field, std::u16string_view) override {}
    void setLabelText(ProductLabel, std::u16string_view) override {}
    bool executeOpenDialog(TOpenDialog&) override { return false; }
    void logClear() override {}
    int logAdd(std::u16string_view) override { return 0; }
    void logSetTopIndex(int) override {}
    int logHorizontalExtent() const override { return 0; }
    void logSetHorizontalExtent(int) override {}
    int logTextWidth(std::u16string_view) const override { return 0; }
    void logRepaint() override {}
    void showAboutWindow() override {}

  protected:
    void sizesChanged() override {}
    void setBusy(bool) override {}
    void setProgress(int) override {}

  private:
    std::vector<std::string>& trace_;
};

class RecordingDesktop : public Desktop {
  public:
    class About : public AboutView {
      public:
        void messageBox(std::u16string_view, std::u16string_view, MessageIcon) override {}
        bool openWithDesktop(std::u16string_view) override { return false; }
        void setVersionLine(std::u16string_view) override {}
        void hideWindow() override {}
    };

    WindowThread& windowThread() override { return loop; }
    std::unique_ptr<MainWindowBase> createMainWindow(MainFormSettings settings) override {
        trace.push_back("main window");
        auto window = std::make_unique<RecordingMainWindow>(loop, std::move(settings), trace);
        main = window.get();
        return window;
    }
    std::unique_ptr<AboutView> createAboutWindow(VersionCheck& check, MainWindowBase& window) override {
        trace.push_back(&window == main && &check == window.form().FVersionCheck() ? "about window"
                                                                                   : "about of another");
        return std::make_unique<About>();
    }
    int exec(MainWindowBase& window) override {
        trace.push_back(window.statusBarHeight() == 29 && window.glyphWidth() == 36 ? "loop"
                                                                                    : "loop unscaled");
        return 7;
    }

    QueueLoop loop;
    std::vector<std::string> trace;
    MainWindowBase* main = nullptr;
};

TEST(WindowMachinery, StartUpOrderAndExitStatus) {
    TempDir dir;
    {
        RecordingDesktop desktop;
        EXPECT_EQ(runProgram(desktop, {u"only", u"two"}), 7);
        EXPECT_EQ(desktop.trace,
                  (std::vector<std::string>{"main window", "construct", "about window", "loop", "destroy"}));
    }
    const fs::path msi = makeMsi(dir.path(), "app.msi");
    const fs::path out = dir / "app.exe";
    const std::vector<std::u16string> build{utf8ToUtf16(msi.string()), utf8ToUtf16(sampleIcon().string()),
                                            utf8ToUtf16(out.string())};
    {
        // No container: the build fails, its box comes up, the window stays.
        ScopedEnv container("PAKFORGE_CONTAINER", (dir / "missing.dat").string());
        RecordingDesktop desktop;
        EXPECT_EQ(runProgram(desktop, build), 1);
        ASSERT_EQ(desktop.trace.size(), 6u);
        EXPECT_EQ(desktop.trace[2].rfind("box ", 0), 0u);
        EXPECT_EQ(desktop.trace[4], "loop");
        EXPECT_FALSE(fs::exists(out));
    }
    {
        // It succeeds: the program ends without a loop.
        ScopedEnv container("PAKFORGE_CONTAINER",
                            makeContainer(dir / "pakforge.dat", readFile(stubExe())).string());
        RecordingDesktop desktop;
        EXPECT_EQ(runProgram(desktop, build), 0);
        EXPECT_EQ(desktop.trace,
                  (std::vector<std::string>{"main window", "construct", "about window", "destroy"}));
        EXPECT_TRUE(unzipTestPasses(out));
    }
}

} // namespace
} // namespace pakforge::ui
