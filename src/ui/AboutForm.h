// The About window's behaviour: its version line and its two links.
#pragma once

#include "ui/VersionCheck.h"
#include "ui/View.h"

namespace pakforge::ui {

class TAboutForm {
  public:
    // The update component belongs to the main window, which outlives this.
    TAboutForm(AboutView& view, VersionCheck& versionCheck) : view_(view), versionCheck_(versionCheck) {}

    // Sets the version line once; it does not change afterwards.
    void FormCreate();
    void InfoLabelClick();
    void UpdateLabelClick();
    void Button1Click();

  private:
    AboutView& view_;
    VersionCheck& versionCheck_;
};

} // namespace pakforge::ui
