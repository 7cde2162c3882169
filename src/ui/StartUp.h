// The program's start-up and shut-down order, the same in every view: the
// update check's hand-over, the main window and its construction step
// (which may build from the command line at once), the About window (it
// reads the main window's update component), the event loop, and the
// form's shut-down.
#pragma once

#include "ui/MainWindowBase.h"

#include <memory>
#include <string>
#include <vector>

namespace pakforge::ui {

// The windows and the loop of one toolkit.
class Desktop {
  public:
    virtual ~Desktop() = default;
    virtual WindowThread& windowThread() = 0;
    virtual std::unique_ptr<MainWindowBase> createMainWindow(MainFormSettings settings) = 0;
    // Hidden, and known to the main window's About link.
    virtual std::unique_ptr<AboutView> createAboutWindow(VersionCheck& versionCheck,
                                                         MainWindowBase& main) = 0;
    // Shows the main window and runs the event loop until it closes; the
    // loop's exit status.
    virtual int exec(MainWindowBase& main) = 0;
};

// arguments excludes the program's own path. The exit status: 1 when a
// three-argument build failed (the window then stayed open), else the loop's.
int runProgram(Desktop& desktop, const std::vector<std::u16string>& arguments);

} // namespace pakforge::ui
