#include "ui/AboutForm.h"

namespace pakforge::ui {

void TAboutForm::FormCreate() {
    view_.setVersionLine(u"Product Version: " + versionCheck_.FileVersion() + u" (x86)");
}

void TAboutForm::InfoLabelClick() {
    // Nothing to report when no browser opens.
    view_.openWithDesktop(productPageUrl());
}

void TAboutForm::UpdateLabelClick() {
    versionCheck_.setNoUpdatesDlg(true);
    versionCheck_.CheckVersion();
}

void TAboutForm::Button1Click() {
    view_.hideWindow();
}

} // namespace pakforge::ui
