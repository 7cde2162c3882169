// pakforge-cli: builds an executable from a package without the window, for
// scripts and CI. Log lines go to stdout as they happen, errors to stderr.
#include "compiler/Build.h"
#include "compiler/PackageProperties.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"
#include "pakforge/Version.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Ctrl-C during a long compression: stop between blocks so the temporary
// file is removed rather than left behind by an abrupt exit.
volatile std::sig_atomic_t interrupted = 0;
void onSignal(int) {
    interrupted = 1;
}

class Interrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "Interrupted"; }
};
// Packages below this compress in a moment; no progress line for them.
constexpr std::uint64_t kProgressThreshold = 16u << 20;

void printUsage(std::ostream& out) {
    out << "Usage: pakforge-cli PACKAGE ICON OUTPUT\n"
           "       pakforge-cli --info PACKAGE\n"
           "\n"
           "Builds OUTPUT, a Windows executable that carries the installer PACKAGE\n"
           "(.msi), with ICON (.ico) as its icon. Pass \"\" as ICON, or a file that\n"
           "does not exist, to keep the stub's own icon. An existing OUTPUT is\n"
           "replaced only when the build succeeds.\n"
           "\n"
           "Options:\n"
           "  --info PACKAGE  print the package's product name, version and manufacturer\n"
           "  -h, --help      show this help and exit\n"
           "  -V, --version   show the version and exit\n"
           "\n"
           "The stub container pakforge.dat is read from the program's folder, else from\n"
           "../share/pakforge beside it, or from the file named by the environment\n"
           "variable PAKFORGE_CONTAINER.\n"
           "\n"
           "Exit status: 0 on success, 1 when the build or the reading fails, 2 on a\n"
           "usage error.\n";
}

int usageError(const std::string& message) {
    std::cerr << "pakforge-cli: " << message << "\n"
              << "Try 'pakforge-cli --help' for more information.\n";
    return kExitUsage;
}

// The full-path rule: relative paths resolve against the current directory;
// an empty argument stays empty.
fs::path fullPath(const std::string& argument) {
    if (argument.empty()) return {};
    return fs::absolute(fs::path(argument)).lexically_normal();
}

int showInfo(const std::string& argument) {
    namespace platform = pakforge::platform;
    const fs::path package = fullPath(argument);
    std::error_code ec;
    if (!fs::is_regular_file(package, ec)) {
        const int error = fs::is_directory(package, ec) ? EISDIR : ENOENT;
        std::cerr << pakforge::withFullStop("Cannot open file \"" + package.string() + "\". " +
                                            pakforge::systemErrorText(error))
                  << "\n";
        return kExitFailure;
    }
    // The reader stays silent on a file that is no package; the command line
    // owes the user an answer, so it asks first.
    platform::MSIHANDLE handle = 0;
    if (platform::MsiOpenPackageExW(pakforge::pathToUtf16(package),
                                    platform::MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE,
                                    &handle) != platform::ERROR_SUCCESS) {
        std::cerr << pakforge::withFullStop("\"" + package.string() + "\" is not a Windows Installer package")
                  << "\n";
        return kExitFailure;
    }
    platform::MsiCloseHandle(handle);

    pakforge::PackageProperties props;
    props.GetMSIProperty(pakforge::pathToUtf16(package));
    std::cout << pakforge::utf16ToUtf8(props.labels.nameLabel) << "\n"
              << pakforge::utf16ToUtf8(props.labels.versionLabel) << "\n"
              << pakforge::utf16ToUtf8(props.labels.manufacturerLabel) << "\n";
    return 0;
}

int runBuild(const std::string& package, const std::string& icon, const std::string& output) {
    pakforge::BuildRequest request;
    request.package = fullPath(package);
    request.icon = fullPath(icon);
    request.output = fullPath(output);
    request.verbose = true;
    if (request.output.empty()) return usageError("OUTPUT must not be empty");

    pakforge::BuildEvents events;
    events.statusMessage = [](const std::string& line) { std::cout << line << std::endl; };
    bool progressShown = false;
    const bool showProgress = ::isatty(STDERR_FILENO) != 0;
    events.progress = [&progressShown, showProgress, last = -1](std::uint64_t done,
                                                                std::uint64_t total) mutable {
        if (interrupted) throw Interrupted();
        if (!showProgress || total < kProgressThreshold) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == last) return;
        last = percent;
        std::fprintf(stderr, "\rCompressing the package: %3d%%", percent);
        std::fflush(stderr);
        progressShown = true;
    };
    const auto endProgress = [&] {
        if (progressShown) std::fprintf(stderr, "\r%*s\r", 34, "");
        progressShown = false;
    };
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    // A reader that goes away (`| head`) must not kill the build halfway and
    // leave its temporary file behind; the log is then simply not seen.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        pakforge::build(request, events);
    } catch (const Interrupted& e) {
        endProgress();
        std::cerr << e.what() << "\n";
        return kExitInterrupted;
    } catch (const std::exception& e) {
        endProgress();
        std::cout.flush();
        std::cerr << pakforge::withFullStop(e.what()) << "\n";
        return kExitFailure;
    }
    endProgress();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_TIME, "");
    const std::vector<std::string> args(argv + 1, argv + argc);

    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        if (args.size() != 1) return usageError("--help takes no arguments");
        printUsage(std::cout);
        return 0;
    }
    if (!args.empty() && (args[0] == "-V" || args[0] == "--version")) {
        if (args.size() != 1) return usageError("--version takes no arguments");
        std::cout << "pakforge-cli " << PAKFORGE_VERSION << "\n";
        return 0;
    }
    if (!args.empty() && args[0] == "--info") {
        if (args.size() != 2) return usageError("--info takes exactly one PACKAGE");
        return showInfo(args[1]);
    }
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '-' && args[0] != "--")
        return usageError("unknown option '" + args[0] + "'");

    std::vector<std::string> operands = args;
    if (!operands.empty() && operands[0] == "--") operands.erase(operands.begin());
    if (operands.size() != 3)
        return usageError("expected PACKAGE ICON OUTPUT, got " + std::to_string(operands.size()) +
                          " argument" + (operands.size() == 1 ? "" : "s"));
    return runBuild(operands[0], operands[1], operands[2]);
}
