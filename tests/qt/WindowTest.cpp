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
#include "support/TestFiles.h"
#include "ui/VersionCheck.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

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
        if (modal) act(modal);
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
        return s;
    }

  private slots:
    void initTestCase() { container = makeContainer(dir / "pakforge.dat", readFile(stubExe())); }

    void windowFrame() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Pakforge"));
        QCOMPARE(window.size(), QSize(590, 402));
        QCOMPARE(window.minimumSize(), window.maximumSize()); // fixed border
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.palette().color(QPalette::Window), window.palette().color(QPalette::Button));
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY(qAbs(window.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(window.frameGeometry().center().y() - screen.center().y()) <= 1);
    }

    void bannerAndLinks() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        qt::AboutWindow about(*window.form().FVersionCheck(), &window);
        window.setAboutWindow(&about);
        window.show();
        auto* panel = child<QWidget>(window, "Panel1");
        QCOMPARE(panel->geometry(), QRect(0, 0, 590, 81));
        QCOMPARE(panel->palette().color(QPalette::Window), QColor(68, 76, 85));
        auto* image = child<QLabel>(window, "Image1");
        QCOMPARE(image->geometry(), QRect(0, 0, 312, 81));
        QVERIFY(!image->pixmap().isNull());
        for (const char* name : {"Label3", "Label5"}) {
            auto* link = child<QLabel>(window, name);
            QCOMPARE(link->font().pixelSize(), 13);
            QVERIFY(link->font().bold());
            QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::white));
            QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
            QVERIFY(link->geometry().right() < 590);
        }
        QCOMPARE(child<QLabel>(window, "Label3")->pos(), QPoint(482, 58));
        QCOMPARE(child<QLabel>(window, "Label5")->pos(), QPoint(535, 58));

        // About shows the one About window, not modal.
        QTest::mouseClick(child<QLabel>(window, "Label5"), Qt::LeftButton);
        QVERIFY(about.isVisible());
        QVERIFY(!about.isModal());
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        // Help with nothing to open: the top-level handler's box, and the
        // window goes on.
        auto box = closeNextBox();
        QTest::mouseClick(child<QLabel>(window, "Label3"), Qt::LeftButton);
        QCOMPARE(box->title, QStringLiteral("Pakforge"));
        QCOMPARE(box->icon, QMessageBox::Critical);
        QCOMPARE(box->text, QStringLiteral("Unable to open help file %1.")
                                .arg(QString::fromStdString((dir / "pakforge.chm").string())));
        QVERIFY(window.isVisible());
    }

    void helpOpensTheHtmlPagesWhereNothingReadsTheCompiledFile() {
        TempDir help;
        writeText(help / "pakforge.chm", "ITSF");
        fs::create_directories(help / "help");
        writeText(help / "help" / "index.html", "<html></html>");
        ui::MainFormSettings s = settings();
        s.helpFile = help / "pakforge.chm";
        qt::MainWindow window(s);
        window.AfterConstruction({});
        window.show();
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        // No desktop here has a viewer for compiled help.
        QVERIFY(!qt::desktopHasHandlerFor(QString::fromStdString((help / "pakforge.chm").string())));
        QTest::mouseClick(child<QLabel>(window, "Label3"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0].toLocalFile(),
                 QString::fromStdString((help / "help" / "index.html").string()));
    }

    void pathFieldsAndTabOrder() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        const struct {
            const char* edit;
            const char* button;
            const char* label;
            int top, buttonTop;
        } rows[] = {{"msiedit", "browsemsi", "Label1", 112, 106},
                    {"appicon", "browseico", "Label4", 168, 162},
                    {"exeedit", "browseexe", "Label2", 224, 218}};
        for (const auto& row : rows) {
            auto* edit = child<QLineEdit>(window, row.edit);
            QCOMPARE(edit->geometry(), QRect(16, row.top, 417, 22));
            QCOMPARE(edit->font().pixelSize(), 11);
            QVERIFY(edit->text().isEmpty());
            auto* button = child<QPushButton>(window, row.button);
            QCOMPARE(button->geometry(), QRect(453, row.buttonTop, 129, 33));
            QCOMPARE(button->text(), QStringLiteral("Browse..."));
            QCOMPARE(button->iconSize(), QSize(24, 24));
            QVERIFY(!button->icon().isNull());
            QCOMPARE(button->font().pixelSize(), 13);
            QCOMPARE(child<QLabel>(window, row.label)->x(), 16);
        }
        // The icon can only be picked, not typed.
        auto* icon = child<QLineEdit>(window, "appicon");
        QVERIFY(icon->isReadOnly());
        icon->setFocus();
        QTest::keyClicks(icon, QStringLiteral("typed"));
        QVERIFY(icon->text().isEmpty());
        auto* package = child<QLineEdit>(window, "msiedit");
        QTest::keyClicks(package, QStringLiteral("typed"));
        QCOMPARE(package->text(), QStringLiteral("typed"));

        QStringList order;
        QWidget* at = child<QWidget>(window, "statuslist");
        for (int i = 0; i < 8; ++i) {
            order << at->objectName();
            do at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus) || !at->isVisibleTo(&window));
        }
        QCOMPARE(order, (QStringList{"statuslist", "msiedit", "appicon", "exeedit", "Button1", "browseico",
                                     "browseexe", "browsemsi"}));
    }

    void productLabelsAndBuildButton() {
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        const struct {
            const char* name;
            QPoint at;
            const char* text;
        } labels[] = {{"nameLabel", {16, 260}, "Product Name: -"},
                      {"manufacturerLabel", {16, 281}, "Manufacturer: -"},
                      {"versionLabel", {16, 302}, "Product Version: -"}};
        for (const auto& l : labels) {
            QCOMPARE(child<QLabel>(window, l.name)->pos(), l.at);
            QCOMPARE(child<QLabel>(window, l.name)->text(), QString::fromLatin1(l.text));
        }
        auto* build = child<QPushButton>(window, "Button1");
        QCOMPARE(build->geometry(), QRect(453, 270, 129, 45));
        QCOMPARE(build->text(), QStringLiteral("Build"));
        QCOMPARE(build->font().pixelSize(), 16);
        QVERIFY(build->font().bold());
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
            dialog->selectFile(QString::fromStdString(msi.string()));
            static_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(child<QPushButton>(window, "browsemsi"), Qt::LeftButton);
        QCOMPARE(filters, QStringList{QStringLiteral("MSI Packages (*.msi)")});
        QCOMPARE(child<QLineEdit>(window, "msiedit")->text(), QString::fromStdString(msi.string()));
        QCOMPARE(child<QLineEdit>(window, "exeedit")->text(),
                 QString::fromStdString((dir / "tools.old" / "setup.exe").string()));
        QVERIFY(child<QLineEdit>(window, "appicon")->text().isEmpty());
        QCOMPARE(child<QLabel>(window, "nameLabel")->text(), QStringLiteral("Product Name: Widget"));
        QCOMPARE(child<QLabel>(window, "versionLabel")->text(), QStringLiteral("Product Version: 4.5.6"));
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
            // Typed, as a new name must be.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) return dialog->reject();
            name->clear();
            QTest::keyClicks(name, QString::fromStdString((dir / "made").string()));
            static_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(child<QPushButton>(window, "browseexe"), Qt::LeftButton);
        QCOMPARE(filters, QStringList{QStringLiteral("EXE Files (*.exe)")});
        QCOMPARE(child<QLineEdit>(window, "exeedit")->text(),
                 QString::fromStdString((dir / "made.exe").string()));
        QVERIFY(first != nullptr && first == second);
    }

    void buildFillsTheLogAndTheLogScrollsSideways() {
        const fs::path msi = makeMsi(dir.path(), "app.msi");
        const fs::path out = dir / "app.exe";
        qt::MainWindow window(settings());
        window.AfterConstruction({});
        window.show();
        auto* list = child<QListWidget>(window, "statuslist");
        QCOMPARE(list->geometry(), QRect(0, 402 - 19 - 49, 590, 49));
        QCOMPARE(list->frameShape(), QFrame::NoFrame);
        QCOMPARE(list->visualItemRect(nullptr).height(), 0);
        auto* bar = child<QWidget>(window, "StatusBar");
        QCOMPARE(bar->geometry(), QRect(0, 402 - 19, 590, 19));
        QCOMPARE(child<QWidget>(window, "StatusPanel0")->width(), 300);
        QCOMPARE(child<QWidget>(window, "StatusPanel1")->width(), 100);

        child<QLineEdit>(window, "msiedit")->setText(QString::fromStdString(msi.string()));
        child<QLineEdit>(window, "exeedit")->setText(QString::fromStdString(out.string()));
        // The icon field is read-only to the user, not to the program.
        child<QLineEdit>(window, "appicon")->setText(QString::fromStdString(sampleIcon().string()));
        QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);

        const QStringList lines = logLines(list);
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[0].startsWith(QStringLiteral("*** Starting Compile [")));
        QCOMPARE(lines[1], QStringLiteral("Updating Icon..."));
        QCOMPARE(lines[4], QStringLiteral("EXE file saved as: ") + QString::fromStdString(out.string()));
        QVERIFY(lines[5].startsWith(QStringLiteral("*** Finished. [")));
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
        QCOMPARE(list->horizontalScrollBar()->maximum(), std::max(0, widest + 5 - list->viewport()->width()));
        // The newest line is in view.
        QVERIFY(list->viewport()->rect().intersects(list->visualItemRect(list->item(5))));

        // A second build, without an icon, leaves only its own five lines.
        child<QLineEdit>(window, "appicon")->clear();
        QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);
        QCOMPARE(logLines(list).size(), 5);

        // A failing build: its box, and the lines written so far stay.
        child<QLineEdit>(window, "msiedit")->setText(QString::fromStdString((dir / "gone.msi").string()));
        auto box = closeNextBox();
        QTest::mouseClick(child<QPushButton>(window, "Button1"), Qt::LeftButton);
        QCOMPARE(box->title, QStringLiteral("Pakforge"));
        QVERIFY2(box->text.startsWith(QStringLiteral("Cannot open file \"%1\".")
                                          .arg(QString::fromStdString((dir / "gone.msi").string()))),
                 qPrintable(box->text));
        QCOMPARE(logLines(list).size(), 3);
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
        QVERIFY(window.runner().swallowedInput() >= 3);
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
        QCOMPARE(child<QWidget>(about, "Panel1")->palette().color(QPalette::Window), QColor(238, 244, 249));
        QCOMPARE(child<QLabel>(about, "Image1")->geometry(), QRect(12, 10, 64, 64));
        QCOMPARE(child<QLabel>(about, "Label1")->text(), QStringLiteral("Pakforge"));
        QCOMPARE(child<QLabel>(about, "Label1")->font().pixelSize(), 24);
        QCOMPARE(child<QLabel>(about, "Label2")->text(),
                 QStringLiteral("Creates EXE installers from MSI packages"));
        QCOMPARE(child<QGroupBox>(about, "GroupBox1")->geometry(), QRect(13, 92, 473, 133));
        QCOMPARE(child<QGroupBox>(about, "GroupBox1")->title(), QStringLiteral("  Program Information  "));
        QCOMPARE(child<QLabel>(about, "Label6")->text(),
                 QStringLiteral("Product Version: %1.0 (x86)").arg(QStringLiteral(PAKFORGE_VERSION)));
        QCOMPARE(child<QLabel>(about, "Label6")->pos(), QPoint(222, 32));
        QCOMPARE(child<QPushButton>(about, "Button1")->geometry(), QRect(389, 240, 97, 28));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        QTest::mouseClick(child<QLabel>(about, "InfoLabel"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0].toString(), QStringLiteral("https://%1/pakforge/?ref=pakforge")
                                                 .arg(QString::fromStdU16String(ui::vendorHost())));

        auto* check = dynamic_cast<ui::NoVersionCheck*>(window.form().FVersionCheck());
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
