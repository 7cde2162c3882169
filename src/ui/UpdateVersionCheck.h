// The update component behind the window's VersionCheck: the About window's
// calls and the main window's settings go to a TVersionCheck whose dialogs
// and hand-over the view supplies.
#pragma once

#include "ui/VersionCheck.h"
#include "update/checkpad4.h"

namespace pakforge::ui {

class UpdateVersionCheck : public VersionCheck {
  public:
    // ui must outlive this object.
    explicit UpdateVersionCheck(TVersionCheckUi& ui) : check_(ui) {}

    void configure(const VersionCheckSettings& settings) override {
        check_.URLCurrVerFile = settings.URLCurrVerFile;
        check_.DownloadURL = settings.DownloadURL;
        check_.SiteName = settings.SiteName;
        check_.FailureDlg = settings.FailureDlg;
        check_.DownloadDlg = settings.DownloadDlg;
    }
    std::u16string FileVersion() const override { return check_.FileVersion(); }
    void setNoUpdatesDlg(bool value) override { check_.NoUpdatesDlg = value; }
    void CheckVersion() override { check_.CheckVersion(); }

    TVersionCheck& component() { return check_; }

  private:
    TVersionCheck check_;
};

} // namespace pakforge::ui
