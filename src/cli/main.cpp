// pakforge-cli: builds an executable from a package without the window, for
// scripts and CI. Log lines go to stdout as they happen, errors to stderr.
#include "compiler/Build.h"
#include "compiler/PackageProperties.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"
#include "pakforge/Version.h"
#include "platform/System.h"
#include "platform/SystemConsole.h"
#include "update/checkpad4.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Ctrl-C during a long compression: stop between blocks so the temporary
// file is removed rather than left behind by an abrupt exit.
volatile std::sig_atomic_t interrupted = 0;
void onInterrupt() {
    interrupted = 1;
}

class Interrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "Interrupted"; }
};
// Packages below this compress in a moment; no progress line for them.
constexpr std::uint64_t kProgressThreshold = 16u << 20;

void printUsage(std::ostream& out) {
    out << "Usage: pakforge-cli [--force] PACKAGE ICON OUTPUT\n"
           "  or:  pakforge-cli --info [--json] PACKAGE\n"
           "  or:  pakforge-cli [-q] --check-updates\n"
           "\n"
           "Builds OUTPUT, a Windows executable that carries the installer PACKAGE\n"
           "(.msi), with ICON (.ico) as its icon. Pass \"\" as ICON, or a file that\n"
           "does not exist, to keep the stub's own icon. An existing OUTPUT is\n"
           "replaced only when the build succeeds; OUTPUT may not be PACKAGE, ICON\n"
           "or the stub container under any name. Builds may run side by side\n"
           "from the same PACKAGE and container.\n"
           "\n"
           "Options:\n"
           "  --force         build even when PACKAGE is not a Windows Installer package\n"
           "  --level N       deflate at zlib level N (0 stores, 9 compresses most)\n"
           "  --jobs N        compress on N threads (default: one per processor); the\n"
           "                  output is the same whatever N\n"
           "  --fast          store what does not compress, deflate the rest at level 1\n"
           "                  (or --level N); fastest for packages of compressed files\n"
           "  --info PACKAGE  print the package's product name, version and manufacturer\n"
           "  --json          with --info: print them as one JSON object with the keys\n"
           "                  ProductName, ProductVersion and Manufacturer\n"
           "  --version-info  give OUTPUT a version resource made from the package's\n"
           "                  ProductName, ProductVersion and Manufacturer\n"
           "  -q, --quiet     print nothing but errors\n"
           "  --check-updates\n"
           "                  ask the vendor's server whether a newer version exists\n"
           "                  (exit 0 when it could tell, 1 when it could not)\n"
           "  -h, --help      show this help and exit\n"
           "  -V, --version   show the version and exit\n"
           "\n"
           "The stub container pakforge.dat is read from the program's folder, else from\n"
           "../share/pakforge beside it, or from the file named by the environment\n"
           "variable PAKFORGE_CONTAINER.\n"
           "--check-updates asks PAKFORGE_UPDATE_HOST (HOST or HOST:PORT) instead of the\n"
           "vendor's server when it is set, trusting the PEM certificates in the file\n"
           "PAKFORGE_UPDATE_CA besides the system's.\n"
           "\n"
           "--level, --jobs and --fast come before PACKAGE, as --force does. Without them\n"
           "the package is deflated as one stream at zlib's default level, on one thread.\n"
           "\n"
           "Exit status: 0 on success, 1 when the build or the reading fails, 2 on a\n"
           "usage error.\n";
}

int usageError(const std::string& message) {
    std::cerr << "pakforge-cli: " << message << "\n"
              << "Try 'pakforge-cli --help' for more information.\n";
    return kExitUsage;
}

// A failure to report on stderr with exit status 1.
struct Failure {
    std::string message;
};

// The full-path rule: relative paths resolve against the current directory;
// an empty argument stays empty.
fs::path fullPath(const std::string& argument) {
    if (argument.empty()) return {};
    fs::path full;
    if (const auto error = pakforge::os::fullPath(pakforge::pathFromUtf8(argument), full))
        throw Failure{"Cannot find \"" + argument + "\": the current folder cannot be read (" +
                      pakforge::systemErrorText(error) + "). Change to an existing folder or give a full path"};
    return full;
}

// The package readers stay silent on a file that is no package; the command
// line owes the user an answer, so it asks first.
void checkPackage(const fs::path& package) {
    namespace platform = pakforge::platform;
    namespace os = pakforge::os;
    os::FileInfo info;
    if (const auto error = os::fileInfo(package, info))
        throw Failure{"Cannot open file \"" + pakforge::pathToUtf8(package) + "\". " +
                      pakforge::systemErrorText(error)};
    if (info.kind == os::FileKind::Directory)
        throw Failure{"Cannot open file \"" + pakforge::pathToUtf8(package) + "\". " +
                      pakforge::systemErrorText(os::errorCode(os::Error::IsDirectory))};
    // Reading a FIFO would block, a device never ends.
    if (info.kind != os::FileKind::Regular) throw Failure{"\"" + pakforge::pathToUtf8(package) + "\" is not a file"};
    platform::MSIHANDLE handle = 0;
    if (platform::MsiOpenPackageExW(pakforge::pathToUtf16(package),
                                    platform::MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE,
                                    &handle) != platform::ERROR_SUCCESS)
        throw Failure{"\"" + pakforge::pathToUtf8(package) + "\" is not a Windows Installer package"};
    platform::MsiCloseHandle(handle);
}

// A JSON string literal: quotes, backslashes and control characters escaped,
// everything else as UTF-8.
std::string jsonString(const std::u16string& text) {
    std::string out = "\"";
    for (const char c : pakforge::utf16ToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[7];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// Options for scripts, taken from anywhere before "--" so that they combine
// freely with the others.
struct ScriptOptions {
    bool quiet = false;
    bool json = false;
    bool versionInfo = false;
};

ScriptOptions takeScriptOptions(std::vector<std::string>& args) {
    ScriptOptions options;
    for (auto it = args.begin(); it != args.end() && *it != "--";) {
        if (*it == "-q" || *it == "--quiet")
            options.quiet = true;
        else if (*it == "--json")
            options.json = true;
        else if (*it == "--version-info")
            options.versionInfo = true;
        else {
            ++it;
            continue;
        }
        it = args.erase(it);
    }
    return options;
}

// The combinations that mean nothing are refused rather than ignored.
std::string scriptOptionsMisuse(const ScriptOptions& options, const std::string& command) {
    if (options.json && command != "--info") return "--json goes only with --info";
    if (options.quiet && command == "--info") return "--quiet and --info exclude each other";
    if (options.versionInfo && !command.empty()) return "--version-info goes only with a build";
    return {};
}

int showInfo(const std::string& argument, bool json) {
    const fs::path package = fullPath(argument);
    checkPackage(package);
    pakforge::PackageProperties props;
    props.GetMSIProperty(pakforge::pathToUtf16(package));
    if (json) {
        std::cout << "{\"ProductName\": " << jsonString(props.FProductName)
                  << ", \"ProductVersion\": " << jsonString(props.FProductVersion)
                  << ", \"Manufacturer\": " << jsonString(props.FManufacturer) << "}\n";
        return 0;
    }
    std::cout << pakforge::utf16ToUtf8(props.labels.nameLabel) << "\n"
              << pakforge::utf16ToUtf8(props.labels.versionLabel) << "\n"
              << pakforge::utf16ToUtf8(props.labels.manufacturerLabel) << "\n";
    return 0;
}

// The window's update check without a window: one line, on stdout when it
// could tell (newer or up to date, exit 0), on stderr when not (exit 1).
int checkUpdates(bool quiet) {
    struct ConsoleUi : pakforge::TQueuedHandOver {
        pakforge::TModalResult MessageDlg(const std::u16string&, pakforge::TMsgDlgType type,
                                          pakforge::TMsgDlgButtons buttons) override {
            if (type == pakforge::TMsgDlgType::mtError)
                failed = true;
            else if (buttons & pakforge::mbYes)
                newer = true;
            else
                latest = true;
            return pakforge::TModalResult::mrNo; // never opens a browser
        }
        void OpenURL(const std::u16string&) override {}
        bool failed = false, newer = false, latest = false;
    } ui;

    const pakforge::TUpdateSite site = pakforge::UpdateSite();
    pakforge::TVersionCheck check(ui);
    check.URLCurrVerFile = site.URLCurrVerFile;
    check.DownloadURL = site.DownloadURL;
    check.SiteName = site.SiteName;
    check.FailureDlg = true;
    check.DownloadDlg = true;
    check.NoUpdatesDlg = true;
    std::u16string answer;
    check.OnGetURL = [&answer](pakforge::TVersionCheck&, std::u16string current, std::u16string) {
        answer = pakforge::TrimControls(current);
    };
    check.CheckVersion();
    check.WaitForCheck();

    using pakforge::utf16ToUtf8;
    if (quiet && (ui.newer || ui.latest)) return 0;
    if (ui.newer) {
        std::cout << "There is a new version " << utf16ToUtf8(answer) << " of this program available at "
                  << utf16ToUtf8(site.SiteName) << ": " << utf16ToUtf8(site.DownloadURL) << "\n";
        return 0;
    }
    if (ui.latest) {
        std::cout << "You already have the latest version " << utf16ToUtf8(check.FileVersion())
                  << " of this program\n";
        return 0;
    }
    std::string why = check.LastFailure();
    if (why.empty()) why = "this program carries no version information to compare with";
    std::cerr << "Could not check for updates at " << utf16ToUtf8(site.URLCurrVerFile) << ": " << why << "\n";
    return kExitFailure;
}

// The system's reason behind a failed write, also when it lies nested
// behind the archive writer's own error; 0 when there is none.
int writeErrorOf(const std::exception& e) {
    if (const auto* write = dynamic_cast<const pakforge::EWriteError*>(&e); write && write->errorCode() != 0)
        return write->errorCode();
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& inner) {
        return writeErrorOf(inner);
    } catch (...) {
    }
    return 0;
}

// A build server's log must say which file could not be written and why (a
// full disk), where the window shows the stream's own words.
std::string failureText(const std::exception& e, const fs::path& output) {
    if (const int error = writeErrorOf(e))
        return "Cannot write \"" + pakforge::pathToUtf8(output) + "\": " + pakforge::systemErrorText(error);
    return e.what();
}

int runBuild(const std::string& package, const std::string& icon, const std::string& output, bool force,
             const pakforge::DeflateOptions& compression, const ScriptOptions& options) {
    // Ctrl-C or SIGTERM from here on removes the temporary output; a reader
    // that goes away (`| head`) must not kill the build halfway and leave it
    // behind either: the log is then simply not seen.
    pakforge::os::catchInterrupts(onInterrupt);
    pakforge::BuildRequest request;
    request.package = fullPath(package);
    request.icon = fullPath(icon);
    request.output = fullPath(output);
    request.verbose = !options.quiet;
    request.versionInfo = options.versionInfo;
    request.compression = compression;
    // Builds side by side read the same package and container.
    request.inputShare = pakforge::FileStream::Share::DenyWrite;
    if (request.output.empty()) return usageError("OUTPUT must not be empty");
    pakforge::checkBuildInputs(request);
    // An installer that could never install is no result: refuse before
    // anything is written, unless asked not to.
    if (!force) checkPackage(request.package);

    pakforge::BuildEvents events;
    events.statusMessage = [](const std::string& line) { std::cout << line << std::endl; };
    bool progressShown = false;
    const bool showProgress = pakforge::os::isTerminal(pakforge::os::StdStream::Err);
    events.progress = [&progressShown, showProgress, &options, last = -1](std::uint64_t done,
                                                                          std::uint64_t total) mutable {
        if (interrupted) throw Interrupted();
        if (!showProgress || options.quiet || total < kProgressThreshold) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == last) return;
        last = percent;
        char line[40];
        std::snprintf(line, sizeof line, "\rCompressing the package: %3d%%", percent);
        pakforge::os::writeText(pakforge::os::StdStream::Err, line);
        progressShown = true;
    };
    const auto endProgress = [&] {
        if (progressShown) pakforge::os::writeText(pakforge::os::StdStream::Err, "\r" + std::string(34, ' ') + "\r");
        progressShown = false;
    };
    try {
        pakforge::build(request, events);
    } catch (const Interrupted& e) {
        endProgress();
        std::cerr << e.what() << "\n";
        return kExitInterrupted;
    } catch (const std::exception& e) {
        endProgress();
        std::cout.flush();
        std::cerr << pakforge::withFullStop(failureText(e, request.output)) << "\n";
        return kExitFailure;
    }
    endProgress();
    return 0;
}

int run(const std::vector<std::string>& given) {
    std::vector<std::string> args = given;
    const ScriptOptions options = takeScriptOptions(args);
    const std::string command =
        !args.empty() && (args[0] == "--info" || args[0] == "--check-updates") ? args[0] : std::string();
    if (const auto misuse = scriptOptionsMisuse(options, command); !misuse.empty()) return usageError(misuse);
    bool force = false;
    pakforge::DeflateOptions compression;
    bool levelGiven = false;
    // Build options come first, in any order; a number follows its option
    // as the next argument or after '='.
    while (!args.empty()) {
        const std::string option = args[0].substr(0, args[0].find('='));
        if (args[0] == "--force") {
            force = true;
        } else if (args[0] == "--fast") {
            compression.chunked = compression.adaptive = true;
        } else if (option == "--level" || option == "--jobs") {
            const bool attached = option.size() < args[0].size();
            if (!attached && args.size() < 2) return usageError(option + " needs a number");
            const std::string text = attached ? args[0].substr(option.size() + 1) : args[1];
            const int low = option == "--level" ? 0 : 1;
            const int high = option == "--level" ? 9 : pakforge::kMaxDeflateJobs;
            int value = -1;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
                value > high)
                return usageError(option + " takes a number from " + std::to_string(low) + " to " +
                                  std::to_string(high) + ", not '" + text + "'");
            (option == "--level" ? compression.level : compression.jobs) = value;
            levelGiven = levelGiven || option == "--level";
            compression.chunked = true;
            if (!attached) args.erase(args.begin());
        } else {
            break;
        }
        args.erase(args.begin());
    }
    // --fast deflates what compresses at the cheapest level unless told.
    if (compression.adaptive && !levelGiven) compression.level = 1;

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
        return showInfo(args[1], options.json);
    }
    if (!args.empty() && args[0] == "--check-updates") {
        if (args.size() != 1) return usageError("--check-updates takes no arguments");
        return checkUpdates(options.quiet);
    }
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '-' && args[0] != "--")
        return usageError("unknown option '" + args[0] + "'");

    std::vector<std::string> operands = args;
    if (!operands.empty() && operands[0] == "--") operands.erase(operands.begin());
    if (operands.size() != 3)
        return usageError("expected PACKAGE ICON OUTPUT, got " + std::to_string(operands.size()) +
                          " argument" + (operands.size() == 1 ? "" : "s"));
    return runBuild(operands[0], operands[1], operands[2], force, compression, options);
}

} // namespace

namespace {

int cliMain(const std::vector<std::string>& args) {
    try {
        return run(args);
    } catch (const Failure& failure) {
        std::cout.flush();
        std::cerr << pakforge::withFullStop(failure.message) << "\n";
        return kExitFailure;
    } catch (const pakforge::Exception& e) {
        std::cout.flush();
        std::cerr << pakforge::withFullStop(e.message()) << "\n";
        return kExitFailure;
    }
}

} // namespace

PAKFORGE_MAIN(cliMain)
