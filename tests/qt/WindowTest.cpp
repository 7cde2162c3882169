// The Qt windows under the offscreen platform, one case per group of
// controls: where each sits, how it looks, and that it is wired to the
// behaviour behind it (real packages, a real stub, the real build).
#include "qt/AboutWindow.h"
#include "qt/Application.h"
#include "qt/MainWindow.h"
#include "qt/QtSupport.h"

#include "Fixtures.h"
#include "core/Utf16.h"
#include "pakforge/Version.h"
#include "support/FakeVersionCheck.h"
#include "support/TestFiles.h"
#include "ui/VersionCheck.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <future>

using namespace pakforge;
using namespace pakforge::test;
namespace fs = std::filesystem;

namespace {

// Runs `act` on the next modal window (a dialog or a message box) as soon
// as it is up; the test that opens it then goes on.
void onNextModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && ++*tries < 3000) return;
        timer->stop();
        timer->deleteLater();
        if (!modal) return;
        act(modal);
        // One that stayed up fails the test instead of holding it forever.
        QTimer::singleShot(5000, modal, [guard = QPointer<QWidget>(modal)] {
            if (!guard || !guard->isVisible()) return;
            qWarning("a modal window stayed open: %s", qPrintable(guard->windowTitle()));
            guard->close();
        });
    });
    timer->start(10);
}

struct Box {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// The next message box's caption, text and icon; the box is closed.
std::shared_ptr<Box> closeNextBox() {
    auto box = std::make_shared<Box>();
    onNextModal([box](QWidget* modal) {
        auto* message = qobject_cast<QMessageBox*>(modal);
        if (!message) return;
        box->title = message->windowTitle();
        box->text = message->text();
        box->icon = message->icon();
        message->accept();
    });
    return box;
}

class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls << url; }
};

// Puts the name in the dialog's name field and confirms it.
void choose(QFileDialog* dialog, const fs::path& file) {
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!name) return dialog->reject();
    name->setText(QString::fromStdString(file.string()));
    static_cast<QDialog*>(dialog)->accept();
}

template <typename T> T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    if (!found) qFatal("no control named %s", name);
    return found;
}

QStringList logLines(QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
    return lines;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    TempDir dir;
    fs::path container;

    ui::MainFormSettings settings() {
        ui::MainFormSettings s;
        s.container = container;
        s.helpFile = dir / "pakforge.chm";
        s.versionCheck = [] { return std::make_unique<FakeVersionCheck>(); };
        return s;
    }

  private slots:
    void initTestCase() { container = makeContainer(dir / "pakforge.dat", readFile(stubExe())); }

    void controlsSitWhereDesigned() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Pakforge"));
        QCOMPARE(window.minimumSize(), QSize(590, 402));
        QCOMPARE(window.maximumSize(), QSize(590, 402)); // a fixed border
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!window.windowIcon().isNull());
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY((window.frameGeometry().center() - screen.center()).manhattanLength() <= 2);
        const struct {
            const char* name;
            QRect place; // labels size themselves: only their corner counts
        } places[] = {{"Panel1", {0, 0, 590, 81}},
                      {"Image1", {0, 0, 312, 81}},
                      {"Label3", {482, 58, 0, 0}},
                      {"Label5", {535, 58, 0, 0}},
                      {"Label1", {16, 93, 0, 0}},
                      {"msiedit", {16, 112, 417, 22}},
                      {"browsemsi", {453, 106, 129, 33}},
                      {"Label4", {16, 152, 0, 0}},
                      {"appicon", {16, 168, 417, 22}},
                      {"browseico", {453, 162, 129, 33}},
                      {"Label2", {16, 208, 0, 0}},
                      {"exeedit", {16, 224, 417, 22}},
                      {"browseexe", {453, 218, 129, 33}},
                      {"nameLabel", {16, 260, 0, 0}},
                      {"manufacturerLabel", {16, 281, 0, 0}},
                      {"versionLabel", {16, 302, 0, 0}},
                      {"Button1", {453, 270, 129, 45}},
                      {"statuslist", {0, 334, 590, 49}},
                      {"StatusBar", {0, 383, 590, 19}},
                      {"StatusPanel0", {0, 0, 300, 19}},
                      {"StatusPanel1", {300, 0, 100, 19}}};
        for (const auto& p : places) {
            const QRect actual = child<QWidget>(window, p.name)->geometry();
            const QRect expected = p.place.isEmpty() ? QRect(p.place.topLeft(), actual.size()) : p.place;
            QVERIFY2(actual == expected, p.name);
        }
        QCOMPARE(child<QLabel>(window, "Label5")->palette().color(QPalette::WindowText), QColor(Qt::white));
        QCOMPARE(child<QWidget>(window, "Panel1")->palette().color(QPalette::Window), QColor(68, 76, 85));
        QCOMPARE(child<QPushButton>(window, "browseexe")->iconSize(), QSize(24, 24));

        // The icon can only be picked, not typed.
        QTest::keyClicks(child<QLineEdit>(window, "appicon"), QStringLiteral("typed"));
        QVERIFY(child<QLineEdit>(window, "appicon")->text().isEmpty());
        QTest::keyClicks(child<QLineEdit>(window, "msiedit"), QStringLiteral("typed"));
        QCOMPARE(child<QLineEdit>(window, "msiedit")->text(), QStringLiteral("typed"));

        QStringList order;
        QWidget* at = child<QWidget>(window, "statuslist");
        for (int i = 0; i < 8; ++i) {
            order << at->objectName();
            do at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus));
        }
        QCOMPARE(order, (QStringList{"statuslist", "msiedit", "appicon", "exeedit", "Button1", "browseico",
                                     "browseexe", "browsemsi"}));
    }

    void linksShowAboutAndOpenTheHelp() {
        TempDir help;
        ui::MainFormSettings s = settings();
        s.helpFile = help / "pakforge.chm";
        qt::MainWindow window(s);
        window.AfterConstruction({});
        qt::AboutWindow about(*window.form().FVersionCheck(), &window);
        window.setAboutWindow(&about);
        window.show();
        QTest::mouseClick(child<QLabel>(window, "Label5"), Qt::LeftButton);
        QVERIFY(about.isVisible());
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        // Nothing to open: the top-level handler's box; the window goes on.
        auto box = closeNextBox();
        QTest::mouseClick(child<QLabel>(window, "Label3"), Qt::LeftButton);
        QCOMPARE(box->title, QStringLiteral("Pakforge"));
        QCOMPARE(box->icon, QMessageBox::Critical);
        QCOMPARE(box->text, QStringLiteral("Unable to open help file %1.")
                                .arg(QString::fromStdString((help / "pakforge.chm").string())));

        // No desktop here reads compiled help: the HTML pages instead.
        writeText(help / "pakforge.chm", "ITSF");
        fs::create_directories(help / "help");
        writeText(help / "help" / "index.html", "<html></html>");
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        QTest::mouseClick(child<QLabel>(window, "Label3"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0].toLocalFile(),
                 QString::fromStdString((help / "help" / "index.html").string()));
    }

    void oneOpenDialogForTheThreeButtons() {
        fs::create_directories(dir / "tools.old");
        const fs::path msi = makeMsi(dir / "tools.old", "setup.msi", {"Widget", "4.5.6", "Acme"});
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        child<QLineEdit>(window, "appicon")->setText(QStringLiteral("/old.ico"));

        QStringList filters;
        onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            filters = dialog->nameFilters();
            choose(dialog, msi);
        });
        QTest::mouseClick(child<QPushButton>(window, "browsemsi"), Qt::LeftButton);
        QCOMPARE(filters, QStringList{QStringLiteral("MSI Packages (*.msi)")});
        QCOMPARE(child<QLineEdit>(window, "msiedit")->text(), QString::fromStdString(msi.string()));
        QCOMPARE(child<QLineEdit>(window, "exeedit")->text(),
                 QString::fromStdString((dir / "tools.old" / "setup.exe").string()));
        QVERIFY(child<QLineEdit>(window, "appicon")->text().isEmpty());
        QCOMPARE(child<QLabel>(window, "manufacturerLabel")->text(), QStringLiteral("Manufacturer: Acme"));

        // The icon button's dialog starts from the package just chosen; a
        // cancel changes nothing.
        QStringList startsAt;
        QFileDialog* first = nullptr;
        onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            first = dialog;
            filters = dialog->nameFilters();
            startsAt = dialog->selectedFiles();
            dialog->reject();
        });
        QTest::mouseClick(child<QPushButton>(window, "browseico"), Qt::LeftButton);
        QCOMPARE(filters, QStringList{QStringLiteral("ICO Files (*.ico)")});
        QCOMPARE(startsAt, QStringList{QString::fromStdString(msi.string())});
        QVERIFY(child<QLineEdit>(window, "appicon")->text().isEmpty());

        // The output button: a name without an extension gets ".exe".
        QFileDialog* second = nullptr;
        onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            second = dialog;
            filters = dialog->nameFilters();
            choose(dialog, dir / "made");
        });
        QTest::mouseClick(child<QPushButton>(window, "browseexe"), Qt::LeftButton);
        QCOMPARE(filters, QStringList{QStringLiteral("EXE Files (*.exe)")});
        QCOMPARE(child<QLineEdit>(window, "exeedit")->text(),
                 QString::fromStdString((dir / "made.exe").string()));
        QVERIFY(first != nullptr && first == second);
    }

    void buildFillsTheLogAndTheLogScrollsSideways() {
        const fs::path msi = makeMsi(dir.path(), "app.msi");
        // A folder name long enough that the log must scroll sideways.
        fs::create_directories(dir / std::string(150, 'w'));
        const fs::path out = dir / std::string(150, 'w') / "app.exe";
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        auto* list = child<QListWidget>(window, "statuslist");
        child<QLineEdit>(window, "msiedit")->setText(QString::fromStdString(msi.string()));
        child<QLineEdit>(window, "exeedit")->setText(QString::fromStdString(out.string()));
        // The icon field is read-only to the user, not to the program.
        child<QLineEdit>(window, "appicon")->setText(QString::fromStdString(sampleIcon().string()));
        QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);

        const QStringList lines = logLines(list);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[4], QStringLiteral("EXE file saved as: ") + QString::fromStdString(out.string()));
        QCOMPARE(list->visualItemRect(list->item(0)).height(), 13);
        QVERIFY(unzipTestPasses(out));
        QVERIFY(!child<QProgressBar>(window, "BuildProgress")->isVisible());

        // The widest line sets the extent, plus 5; the list scrolls exactly
        // that far beyond what it shows.
        int widest = 0;
        for (const QString& line : lines)
            widest = std::max(widest, list->fontMetrics().horizontalAdvance(line));
        QCOMPARE(window.logHorizontalExtent(), widest + 5);
        QApplication::processEvents();
        QVERIFY(widest > list->viewport()->width());
        QCOMPARE(list->horizontalScrollBar()->maximum(), widest + 5 - list->viewport()->width());
        // The newest line is in view.
        QVERIFY(list->viewport()->rect().intersects(list->visualItemRect(list->item(5))));
    }

    void buildKeepsPaintingAndHoldsInput() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* package = child<QLineEdit>(window, "msiedit");
        auto* progress = child<QProgressBar>(window, "BuildProgress");

        std::promise<void> release;
        auto released = release.get_future();
        bool checked = false, progressShown = false, typedIgnored = false, clickIgnored = false,
             stayedOpen = false, painted = false;
        QTimer::singleShot(0, &window, [&] {
            // The work is running on its own thread now; this is the window's.
            window.showProgress(40, 100);
            QApplication::processEvents();
            progressShown = progress->isVisible() && progress->value() == 400;
            QTest::keyClicks(package, QStringLiteral("x"));
            typedIgnored = package->text().isEmpty();
            QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);
            clickIgnored = window.form().properties().FProductName.empty() &&
                           child<QListWidget>(window, "statuslist")->count() == 0;
            window.close();
            stayedOpen = window.isVisible();
            painted = !window.grab().isNull();
            checked = true;
            release.set_value();
        });
        window.runBlocking([&] {
            // Fails rather than hangs if the window's thread never turns.
            if (released.wait_for(std::chrono::minutes(2)) != std::future_status::ready)
                throw std::runtime_error("the window's event loop did not run during the work");
        });
        QVERIFY(checked);
        QVERIFY(progressShown);
        QVERIFY(typedIgnored);
        QVERIFY(clickIgnored);
        QVERIFY(stayedOpen);
        QVERIFY(painted);
        QVERIFY(window.swallowedInput() >= 3);
        QVERIFY(!progress->isVisible());
        // Input goes through again afterwards.
        QTest::keyClicks(package, QStringLiteral("y"));
        QCOMPARE(package->text(), QStringLiteral("y"));

        // What the work throws comes out on the window's thread.
        QVERIFY_THROWS_EXCEPTION(Exception, window.runBlocking([] { throw Exception("from the work"); }));
        // And what it hands to the window runs there.
        Qt::HANDLE where = nullptr;
        window.runBlocking([&] { window.onWindowThread([&] { where = QThread::currentThreadId(); }); });
        QCOMPARE(where, QThread::currentThreadId());
    }

    // Many reports from the work's thread, merged while the window's thread
    // catches up: what is shown only grows, and the newest is shown last.
    void progressFromTheWorkEndsOnTheNewest() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        QList<int> shown;
        connect(&window, &qt::MainWindow::progress, this, [&](int permille) { shown << permille; });
        constexpr int steps = 5000;
        window.runBlocking([&] {
            for (int i = 1; i <= steps; ++i) window.showProgress(i, steps);
        });
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last(), 1000);
        QVERIFY(std::is_sorted(shown.begin(), shown.end()));
    }

    void statusLogCapAndReset() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        QCOMPARE(window.logCapacity(), 100000);
        for (int i = 0; i < 100000; ++i) window.logAdd(u"filler line");
        QVERIFY_THROWS_EXCEPTION(ui::EOutOfResources, window.logAdd(u"one too many"));
        window.form().StatusMessage(u"the newest");
        auto* list = child<QListWidget>(window, "statuslist");
        QCOMPARE(logLines(list), (QStringList{"*** Log size limit reached, list reset.", "the newest"}));
        QCOMPARE(window.logHorizontalExtent(), list->fontMetrics().horizontalAdvance("the newest") + 5);
    }

    void densityStepScalesTheStatusBarAndGlyphs() {
        qt::MainWindow window(settings());
        window.form().AfterConstruction({}, 144);
        QCOMPARE(child<QWidget>(window, "StatusBar")->height(), 29);
        QCOMPARE(child<QWidget>(window, "StatusPanel0")->width(), 450);
        QCOMPARE(child<QWidget>(window, "StatusPanel1")->width(), 150);
        QCOMPARE(child<QPushButton>(window, "browsemsi")->iconSize(), QSize(36, 36));
        QCOMPARE(child<QWidget>(window, "statuslist")->geometry().bottom() + 1,
                 child<QWidget>(window, "StatusBar")->y());
    }

    void aboutWindow() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        qt::AboutWindow about(*window.form().FVersionCheck(), &window);
        window.setAboutWindow(&about);
        window.show();
        QVERIFY(!about.isVisible());
        QCOMPARE(about.windowTitle(), QStringLiteral("About Pakforge"));
        QCOMPARE(about.size(), QSize(500, 277));
        QCOMPARE(child<QGroupBox>(about, "GroupBox1")->geometry(), QRect(13, 92, 473, 133));
        QCOMPARE(child<QPushButton>(about, "Button1")->geometry(), QRect(389, 240, 97, 28));
        QCOMPARE(child<QLabel>(about, "Label6")->text(),
                 QStringLiteral("Product Version: %1.0 (x86)").arg(QStringLiteral(PAKFORGE_VERSION)));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        QTest::mouseClick(child<QLabel>(about, "InfoLabel"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0].toString(), QStringLiteral("https://%1/pakforge/?ref=pakforge")
                                                 .arg(QString::fromStdU16String(ui::vendorHost())));

        auto* check = dynamic_cast<FakeVersionCheck*>(window.form().FVersionCheck());
        QVERIFY(check);
        QTest::mouseClick(child<QLabel>(about, "UpdateLabel"), Qt::LeftButton);
        QVERIFY(check->noUpdatesDlg());
        QCOMPARE(check->checks(), 1);

        // Close hides it; About brings back the same window.
        about.show();
        QTest::mouseClick(child<QPushButton>(about, "Button1"), Qt::LeftButton);
        QVERIFY(!about.isVisible());
        QTest::mouseClick(child<QLabel>(window, "Label5"), Qt::LeftButton);
        QVERIFY(about.isVisible());
        QCOMPARE(child<QLabel>(about, "Label6")->text(),
                 QStringLiteral("Product Version: %1.0 (x86)").arg(QStringLiteral(PAKFORGE_VERSION)));
    }

    void topLevelHandlerShowsWhatAnyHandlerLetThrough() {
        class Throwing : public QObject {
          public:
            bool event(QEvent* e) override {
                if (e->type() == QEvent::User) throw Exception("Something broke");
                return QObject::event(e);
            }
        } target;
        auto box = closeNextBox();
        QEvent event(QEvent::User);
        QApplication::sendEvent(&target, &event);
        QCOMPARE(box->title, QStringLiteral("Pakforge"));
        QCOMPARE(box->text, QStringLiteral("Something broke."));
        QCOMPARE(box->icon, QMessageBox::Critical);
        // The program goes on.
        auto again = closeNextBox();
        QApplication::sendEvent(&target, &event);
        QCOMPARE(again->text, QStringLiteral("Something broke."));
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qt::Application app(argc, argv);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowTest.moc"
