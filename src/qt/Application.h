// The application object: title, icon, and the top-level handler that
// catches what an event handler let through.
#pragma once

#include "ui/View.h"

#include <QApplication>

namespace pakforge::qt {

class Application : public QApplication, public ui::View {
    Q_OBJECT
  public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // ui::View, for the top-level handler's box.
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
};

// What `pakforge --help` prints.
const char* usageText();

} // namespace pakforge::qt
