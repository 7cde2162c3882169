// A version check for window tests: remembers what the window told it and
// counts the checks it was asked for, and checks nothing.
#pragma once

#include "ui/VersionCheck.h"

namespace pakforge::test {

class FakeVersionCheck : public ui::VersionCheck {
  public:
    void configure(const ui::VersionCheckSettings& settings) override { settings_ = settings; }
    std::u16string FileVersion() const override { return ui::programFileVersion(); }
    void setNoUpdatesDlg(bool value) override { noUpdatesDlg_ = value; }
    void CheckVersion() override { ++checks_; }

    const ui::VersionCheckSettings& settings() const { return settings_; }
    bool noUpdatesDlg() const { return noUpdatesDlg_; }
    int checks() const { return checks_; }

  private:
    ui::VersionCheckSettings settings_;
    bool noUpdatesDlg_ = false;
    int checks_ = 0;
};

} // namespace pakforge::test
