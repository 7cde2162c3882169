// The Qt side of the check (offscreen): the hand-over through the event
// loop, real QMessageBox dialogs found and answered as a person would, and
// Yes opening the download through QDesktopServices.
#include "LoopbackServer.h"
#include "qt/AboutWindow.h"
#include "qt/EventLoop.h"
#include "qt/MainWindow.h"
#include "ui/UpdateVersionCheck.h"
#include "ui/WindowHandOver.h"
#include "update/checkpad4.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// Answers each modal message box as it comes up, the way a person would,
// and notes what it showed.
class DialogAnswerer {
  public:
    struct Seen {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        bool duringCheck; // came up while a CheckVersion call was still running
    };
    explicit DialogAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }
    std::vector<Seen> seen;
    bool inCheck = false;

  private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == last_) return;
        last_ = box;
        seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(), inCheck});
        screenshot();
        QAbstractButton* button = box->button(answer_);
        if (!button) button = box->button(QMessageBox::Ok);
        button->click();
    }
    // Under Xvfb (QT_QPA_PLATFORM=xcb), PAKFORGE_SCREENSHOT_DIR gets a
    // picture of the screen for every dialog, as a person would see it.
    void screenshot() {
        const QByteArray dir = qgetenv("PAKFORGE_SCREENSHOT_DIR");
        if (dir.isEmpty()) return;
        for (int i = 0; i < 20; ++i) QApplication::processEvents(); // let it paint
        QThread::msleep(300);
        QApplication::processEvents();
        const std::string file = dir.toStdString() + "/update-dialog-" + std::to_string(++shots_) + ".png";
        runCommand("import -window root " + shellQuote(file));
    }
    int shots_ = 0;
    QMessageBox::StandardButton answer_;
    QTimer timer_;
    QPointer<QMessageBox> last_;
};

class QtCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_LOOPBACK_TOOLS();
        server = std::make_unique<LoopbackServer>();
        env = std::make_unique<UpdateEnvironment>(server->authority(), server->caFile());
        QDesktopServices::setUrlHandler("https", &catcher, "open");
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler("https"); }
    std::unique_ptr<TVersionCheck> makeCheck(const char* name) {
        auto check = std::make_unique<TVersionCheck>(ui);
        check->FailureDlg = true;
        check->SiteName = u"updates.example.org";
        check->DownloadURL = u"https://updates.example.org/downloads/pakforge.exe";
        const std::string url = std::string("https://updates.example.org/case/") + name + ".xml";
        check->URLCurrVerFile = std::u16string(url.begin(), url.end());
        return check;
    }

    ui::WindowHandOver ui{qt::EventLoop::instance()};
    UrlCatcher catcher;
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<UpdateEnvironment> env;
};

TEST_F(QtCheck, DialogsAsShownAndYesOpensTheDownload) {
    DialogAnswerer person(QMessageBox::Yes);
    for (const char* name : {"newer", "equal", "notfound"}) {
        auto check = makeCheck(name);
        check->CheckVersion();
        check->WaitForCheck();
    }
    ASSERT_EQ(person.seen.size(), 3u);
    EXPECT_EQ(person.seen[0].text, "There is a new version 3.4.0.0 of this program\navailable at "
                                   "updates.example.org\nDo you want to download it now?");
    EXPECT_EQ(person.seen[0].icon, QMessageBox::Question);
    EXPECT_EQ(person.seen[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(person.seen[1].text, "You already have the latest version 3.3.0.0 of this program");
    EXPECT_EQ(person.seen[1].icon, QMessageBox::Question);
    EXPECT_EQ(person.seen[1].buttons, QMessageBox::Ok);
    EXPECT_EQ(person.seen[2].text, "Could not download file version information from: \n"
                                   "https://updates.example.org/case/notfound.xml");
    EXPECT_EQ(person.seen[2].icon, QMessageBox::Critical);
    EXPECT_EQ(person.seen[2].title, "Error");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl("https://updates.example.org/downloads/pakforge.exe"));
}

TEST_F(QtCheck, SecondClickAndClosingServeTheDialogWhileWaiting) {
    DialogAnswerer person(QMessageBox::No);
    auto check = makeCheck("slow");
    check->CheckVersion();
    person.inCheck = true;
    check->URLCurrVerFile = u"https://updates.example.org/case/equal.xml";
    check->CheckVersion(); // waits for the first, whose dialog comes up meanwhile
    person.inCheck = false;
    ASSERT_EQ(person.seen.size(), 1u);
    EXPECT_TRUE(person.seen[0].duringCheck);
    EXPECT_TRUE(person.seen[0].text.startsWith("There is a new version 3.4.0.0"));
    check.reset(); // closing the window: the second check's dialog still comes
    ASSERT_EQ(person.seen.size(), 2u);
    EXPECT_TRUE(person.seen[1].text.startsWith("You already have the latest version"));
    EXPECT_TRUE(catcher.urls.isEmpty());
}

// The program as assembled: the About window's version line comes from this
// program's own version block (3.3.0.0) and its link runs the real check
// against the server PAKFORGE_UPDATE_HOST names.
TEST_F(QtCheck, TheAboutWindowRunsTheRealCheck) {
    DialogAnswerer person(QMessageBox::No);
    ui::MainFormSettings settings;
    settings.versionCheck = [this] { return std::make_unique<ui::UpdateVersionCheck>(ui); };
    qt::MainWindow mainform(std::move(settings));
    mainform.AfterConstruction({});
    qt::AboutWindow about(*mainform.form().FVersionCheck(), &mainform);
    mainform.setAboutWindow(&about);
    EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("Label6"))->text(), "Product Version: 3.3.0.0 (x86)");

    QTest::mouseClick(about.findChild<QLabel*>(QStringLiteral("UpdateLabel")), Qt::LeftButton);
    QElapsedTimer waited;
    waited.start();
    while (person.seen.empty() && waited.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(person.seen.size(), 1u);
    EXPECT_EQ(person.seen[0].text,
              QString::fromStdString("There is a new version 3.4.0.0 of this program\navailable at " +
                                     server->authority() + "\nDo you want to download it now?"));
    mainform.FormDestroy();
    EXPECT_TRUE(catcher.urls.isEmpty());
}

} // namespace
} // namespace pakforge

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "QtHandOverTest.moc"
