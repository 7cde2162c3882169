// pakforge-cli's command line: what it asks for, read with CLI11 so that
// options go anywhere, "--" ends them and --help lists what is parsed.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pakforge::cli {

inline constexpr const char* kProgram = "pakforge-cli";

struct Options {
    // PACKAGE ICON OUTPUT; PACKAGE with --info; SETUP.EXE with --inspect;
    // SETUP.EXE FOLDER with --extract.
    std::vector<std::string> operands;
    bool force = false;
    bool fast = false;
    int level = -1; // -1: not given
    int jobs = 0;   // 0: not given
    bool versionInfo = false;
    bool quiet = false;
    bool info = false;
    bool json = false;
    bool checkUpdates = false;
    bool inspect = false;
    bool extract = false;
    // Built into the executable: NAME=VALUE, transform files, the UI level.
    std::vector<std::string> properties;
    std::vector<std::string> transforms;
    std::string ui;
    bool log = false;
    bool noRestart = false;
    bool elevate = false;

    bool building() const { return !info && !checkUpdates && !inspect && !extract; }
    bool hasSettings() const {
        return !properties.empty() || !transforms.empty() || !ui.empty() || log || noRestart || elevate;
    }
};

// Reads the arguments into `options`. When they settle the run by
// themselves, returns its exit status: 0 after printing the help or the
// version, 2 after a usage error on stderr.
std::optional<int> parseCommandLine(const std::vector<std::string>& args, Options& options);

} // namespace pakforge::cli
