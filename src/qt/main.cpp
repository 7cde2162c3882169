// pakforge: the desktop program. The start-up order is ui::runProgram's;
// this supplies the Qt windows and the event loop.
#include "pakforge/Version.h"
#include "qt/AboutWindow.h"
#include "qt/Application.h"
#include "qt/EventLoop.h"
#include "qt/MainWindow.h"
#include "qt/QtSupport.h"
#include "ui/StartUp.h"

#include <clocale>
#include <cstdio>
#include <cstring>

namespace {

using namespace pakforge;

class QtDesktop : public ui::Desktop {
  public:
    ui::WindowThread& windowThread() override { return qt::EventLoop::instance(); }
    std::unique_ptr<ui::MainWindowBase> createMainWindow(ui::MainFormSettings settings) override {
        return std::make_unique<qt::MainWindow>(std::move(settings));
    }
    std::unique_ptr<ui::AboutView> createAboutWindow(ui::VersionCheck& versionCheck,
                                                     ui::MainWindowBase& main) override {
        auto& window = static_cast<qt::MainWindow&>(main);
        auto about = std::make_unique<qt::AboutWindow>(versionCheck, &window);
        window.setAboutWindow(about.get());
        return about;
    }
    int exec(ui::MainWindowBase& main) override {
        static_cast<qt::MainWindow&>(main).show();
        return QApplication::exec();
    }
};

} // namespace

int main(int argc, char** argv) {
    // These answer without a display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(qt::usageText(), stdout);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("pakforge %s\n", PAKFORGE_VERSION);
        return 0;
    }

    qt::Application app(argc, argv);
    // The build's log shows the time in the user's regional format.
    std::setlocale(LC_TIME, "");
    // Qt has taken its own options out by now.
    std::vector<std::u16string> arguments;
    for (const QString& argument : app.arguments().mid(1)) arguments.push_back(qt::fromQString(argument));
    QtDesktop desktop;
    return ui::runProgram(desktop, arguments);
}
