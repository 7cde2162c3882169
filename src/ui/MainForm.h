// The main window's behaviour: its fields, the three Browse... buttons, the
// Build button, the product labels, the status log and the links, with the
// start-up and shut-down order. Everything it shows goes through MainView.
#pragma once

#include "compiler/PackageProperties.h"
#include "ui/VersionCheck.h"
#include "ui/View.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pakforge::ui {

class WindowHandOver;

inline constexpr std::u16string_view kLogResetNotice = u"*** Log size limit reached, list reset.";

struct MainFormSettings {
    // Empty: the program's own pakforge.dat (or $PAKFORGE_CONTAINER).
    std::filesystem::path container;
    // Empty: the program's own pakforge.chm.
    std::filesystem::path helpFile;
    // Required: makes the update check the window configures and the
    // About window uses.
    VersionCheckFactory versionCheck;
    // The update check's hand-over, held while a build runs; may be null.
    WindowHandOver* handOver = nullptr;
};

class Tmainform {
  public:
    explicit Tmainform(MainView& view, MainFormSettings settings = {});
    Tmainform(const Tmainform&) = delete;
    Tmainform& operator=(const Tmainform&) = delete;
    ~Tmainform();

    // The construction step: FormCreate, then the screen-density step.
    // arguments excludes the program's own path.
    void AfterConstruction(const std::vector<std::u16string>& arguments, int dotsPerInch);
    void FormCreate(const std::vector<std::u16string>& arguments);
    void FormDestroy();

    void OpenButtonClick();
    void Chooseicon();
    void browseexeClick();
    void clearsettings();
    void CompileClick();
    void About1Click();
    void helpbuttonClick();

    void GetMSIProperty(const std::u16string& packagePath);
    void StatusMessage(std::u16string_view text);
    void build(const std::u16string& package, const std::u16string& icon, const std::u16string& output,
               bool verbose);

    // Null before FormCreate and after FormDestroy.
    VersionCheck* FVersionCheck() const { return FVersionCheck_.get(); }
    const PackageProperties& properties() const { return properties_; }
    // The three-argument start ran and failed (the process then ends with 1).
    bool commandLineBuildFailed() const { return commandLineBuildFailed_; }
    std::filesystem::path helpFilePath() const;

    TOpenDialog OpenDialog;

  private:
    void scaleForDensity(int dotsPerInch);
    // The fields as the package Browse... button fills them.
    void pickPackage(const std::u16string& package);
    // The one-argument start: an existing file is taken as the package.
    void presetPackage(const std::u16string& argument);

    MainView& view_;
    MainFormSettings settings_;
    PackageProperties properties_;
    std::unique_ptr<VersionCheck> FVersionCheck_;
    bool commandLineBuildFailed_ = false;
};

} // namespace pakforge::ui
