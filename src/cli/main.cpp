// pakforge-cli: builds an executable from a package without the window, for
// scripts and CI. Log lines go to stdout as they happen, errors to stderr,
// each naming the program and the file it is about.
#include "CommandLine.h"
#include "compiler/Build.h"
#include "compiler/ExecutableReport.h"
#include "compiler/PackageProperties.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "os/SystemConsole.h"
#include "services/MsiPackage.h"
#include "update/checkpad4.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pakforge::cli::kProgram;
using pakforge::cli::Options;

constexpr int kExitFailure = 1;
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

// A failure to report on stderr with exit status 1.
struct Failure {
    std::string message;
};

void reportError(const std::string& message) {
    std::cout.flush();
    std::cerr << kProgram << ": " << pakforge::withFullStop(message) << "\n";
}

void warn(const std::string& message) {
    std::cout.flush();
    std::cerr << kProgram << ": warning: " << message << "\n";
}

std::string quoted(const fs::path& path) {
    return "\"" + pakforge::pathToUtf8(path) + "\"";
}

// The full-path rule: relative paths resolve against the current directory;
// an empty argument stays empty.
fs::path fullPath(const std::string& argument) {
    if (argument.empty()) return {};
    fs::path full;
    if (const auto error = pakforge::os::fullPath(pakforge::pathFromUtf8(argument), full))
        throw Failure{"Cannot find \"" + argument + "\": the current folder cannot be read (" +
                      pakforge::systemErrorText(error) +
                      "). Change to an existing folder or give a full path"};
    return full;
}

// ---- inputs -----------------------------------------------------------------

// Only regular files are read: a pipe (process substitution, /dev/stdin)
// could not be read twice nor seeked, a device never ends.
void requireRegularFile(const char* role, const fs::path& path) {
    pakforge::os::FileInfo info;
    if (path.empty() || pakforge::os::fileInfo(path, info) != 0) return; // said later, when it is read
    if (info.kind == pakforge::os::FileKind::Other)
        throw Failure{std::string("the ") + role + " " + quoted(path) +
                      " is not a regular file but a pipe or a device: save it to a file first and give that "
                      "file's name"};
}

// The package readers stay silent on a file that is no package; the command
// line owes the user an answer, so it asks first.
void checkPackage(const fs::path& package) {
    namespace services = pakforge::services;
    namespace os = pakforge::os;
    requireRegularFile("package", package);
    os::FileInfo info;
    if (const auto error = os::fileInfo(package, info))
        throw Failure{"Cannot open file " + quoted(package) + ". " + pakforge::systemErrorText(error)};
    if (info.kind == os::FileKind::Directory)
        throw Failure{"Cannot open file " + quoted(package) + ". " +
                      pakforge::systemErrorText(os::errorCode(os::Error::IsDirectory))};
    if (!services::ReadPackageProperties(pakforge::pathToUtf16(package), {}))
        throw Failure{quoted(package) + " is not a Windows Installer package"};
}

bool isPngImage(const fs::path& file) {
    static constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::array<std::uint8_t, 8> head{};
    pakforge::FileStream stream(file, pakforge::FileStream::Mode::OpenRead);
    return stream.read(head.data(), head.size()) == head.size() && head == kSignature;
}

// The build skips an icon that is not there without a word; a typo in a
// script must not ship the wrong icon unnoticed. "" asks for the stub's icon.
void checkIcon(const fs::path& icon) {
    if (icon.empty()) return;
    const std::string keeps = "; the executable keeps the stub's icon.";
    std::error_code ec;
    const auto status = fs::status(icon, ec);
    if (status.type() == fs::file_type::not_found) {
        warn("the icon " + quoted(icon) + " does not exist" + keeps);
    } else if (ec) {
        warn("the icon " + quoted(icon) + " cannot be read (" + ec.message() + ")" + keeps);
    } else if (fs::is_directory(status)) {
        warn("the icon " + quoted(icon) + " is a folder, not a file" + keeps);
    } else if (isPngImage(icon)) {
        throw Failure{"the icon " + quoted(icon) +
                      " is a PNG image, not an icon file: convert it to .ico first"};
    }
}

// ---- --info and --check-updates ----------------------------------------------

std::string jsonString(const std::u16string& text) {
    return pakforge::jsonQuoted(pakforge::utf16ToUtf8(text));
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
    std::cerr << kProgram << ": Could not check for updates at " << utf16ToUtf8(site.URLCurrVerFile) << ": "
              << why << "\n";
    return kExitFailure;
}

// ---- the build -----------------------------------------------------------------

// Packages below this compress in a moment; no progress line for them.
constexpr std::uint64_t kProgressThreshold = 16u << 20;

// The compression's progress, one line on the terminal rewritten in place
// and cleared before a log line, so that the two never share a line.
class ProgressLine {
  public:
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}

    void show(std::uint64_t done, std::uint64_t total) {
        if (!enabled_ || total < kProgressThreshold) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        char line[40];
        std::snprintf(line, sizeof line, "\rCompressing the package: %3d%%", percent);
        pakforge::os::writeText(pakforge::os::StdStream::Err, line);
        shown_ = true;
    }

    void clear() {
        if (!shown_) return;
        pakforge::os::writeText(pakforge::os::StdStream::Err, "\r" + std::string(34, ' ') + "\r");
        shown_ = false;
    }

  private:
    bool enabled_;
    bool shown_ = false;
    int last_ = -1;
};

// Progress only for a person at a terminal: with either stream redirected
// the carriage returns would end up in a file or a pipe.
bool progressWanted(const Options& options) {
    using pakforge::os::StdStream;
    return !options.quiet && pakforge::os::isTerminal(StdStream::Out) &&
           pakforge::os::isTerminal(StdStream::Err);
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

// The file a build step works on, for a message that does not name it
// ("File is corrupt.", "Invalid Icon or Cursor.").
std::string subjectOf(pakforge::BuildStep step, const pakforge::BuildRequest& request) {
    switch (step) {
    case pakforge::BuildStep::Container:
        return "the stub container " + quoted(request.container);
    case pakforge::BuildStep::Stub:
        return "the stub in " + quoted(request.container);
    case pakforge::BuildStep::Icon:
        return "the icon " + quoted(request.icon);
    case pakforge::BuildStep::Package:
        return "the package " + quoted(request.package);
    case pakforge::BuildStep::Output:
        break;
    }
    return "the output " + quoted(request.output);
}

bool namesAFile(const std::string& message, const pakforge::BuildRequest& request) {
    const fs::path* files[] = {&request.package, &request.icon, &request.output, &request.container};
    return std::any_of(std::begin(files), std::end(files), [&](const fs::path* file) {
        return !file->empty() && message.find(quoted(*file)) != std::string::npos;
    });
}

// A build server's log must say which file failed and why; the library's
// own words stay at the end.
std::string failureText(const std::exception& e, const pakforge::BuildRequest& request,
                        pakforge::BuildStep step) {
    if (const int error = writeErrorOf(e))
        return "Cannot write " + quoted(request.output) + ": " + pakforge::systemErrorText(error);
    const std::string message = e.what();
    return namesAFile(message, request) ? message : subjectOf(step, request) + ": " + message;
}

pakforge::DeflateOptions compressionOf(const Options& options) {
    pakforge::DeflateOptions compression;
    compression.chunked = options.fast || options.level >= 0 || options.jobs > 0;
    compression.adaptive = options.fast;
    if (options.level >= 0) compression.level = options.level;
    // --fast deflates what compresses at the cheapest level unless told.
    else if (options.fast)
        compression.level = 1;
    if (options.jobs > 0) compression.jobs = options.jobs;
    return compression;
}

// SOURCE_DATE_EPOCH, the reproducible-builds convention: whole seconds
// since 1970-01-01 UTC. Empty counts as unset; anything else that is not
// such a number stops the build rather than be ignored.
std::optional<std::int64_t> sourceDateEpoch() {
    const auto value = pakforge::os::environmentVariable("SOURCE_DATE_EPOCH");
    if (!value || value->empty()) return std::nullopt;
    std::int64_t seconds = 0;
    const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), seconds);
    if (ec != std::errc() || end != value->data() + value->size() || seconds < 0 || (*value)[0] == '+')
        throw Failure{"SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, not '" +
                      *value + "'"};
    return seconds;
}

pakforge::BuiltInSettings settingsOf(const Options& options) {
    pakforge::BuiltInSettings settings;
    for (const auto& property : options.properties) {
        const auto equals = property.find('=');
        settings.properties.push_back({pakforge::utf8ToUtf16(property.substr(0, equals)),
                                       pakforge::utf8ToUtf16(property.substr(equals + 1))});
    }
    for (const auto& transform : options.transforms) settings.transforms.push_back(fullPath(transform));
    settings.ui = stub::uiLevelOf(options.ui).value_or(stub::UiLevel::NotChosen);
    settings.log = options.log;
    settings.noRestart = options.noRestart;
    settings.elevate = options.elevate;
    return settings;
}

pakforge::BuildRequest requestOf(const Options& options) {
    pakforge::BuildRequest request;
    request.package = fullPath(options.operands[0]);
    request.icon = fullPath(options.operands[1]);
    request.output = fullPath(options.operands[2]);
    // Named now so that a message about it can name it.
    request.container = pakforge::defaultContainerPath();
    request.verbose = !options.quiet;
    request.versionInfo = options.versionInfo;
    request.compression = compressionOf(options);
    request.settings = settingsOf(options);
    // Builds side by side read the same package and container.
    request.inputShare = pakforge::FileStream::Share::DenyWrite;
    request.entryTime = sourceDateEpoch();
    return request;
}

// Refuses before anything is written what could only fail later or give a
// program that could never install, unless asked not to (--force).
void checkInputs(const pakforge::BuildRequest& request, bool force) {
    requireRegularFile("package", request.package);
    requireRegularFile("icon", request.icon);
    pakforge::checkBuildInputs(request);
    if (!force) checkPackage(request.package);
    checkIcon(request.icon);
    for (const auto& transform : request.settings.transforms) {
        requireRegularFile("transform", transform);
        pakforge::os::FileInfo info;
        if (const auto error = pakforge::os::fileInfo(transform, info))
            throw Failure{"Cannot open file " + quoted(transform) + ". " + pakforge::systemErrorText(error)};
        if (info.kind != pakforge::os::FileKind::Regular || !pakforge::isCompoundFile(transform))
            throw Failure{"the transform " + quoted(transform) +
                          " is not a transform: it does not start with the compound-file signature of "
                          "Windows Installer files"};
    }
}

int runBuild(const Options& options) {
    // Ctrl-C or SIGTERM from here on removes the temporary output; a reader
    // that goes away (`| head`) must not kill the build halfway and leave it
    // behind either: the log is then simply not seen.
    pakforge::os::catchInterrupts(onInterrupt);
    const pakforge::BuildRequest request = requestOf(options);
    checkInputs(request, options.force);

    ProgressLine progress(progressWanted(options));
    pakforge::BuildStep step = pakforge::BuildStep::Container;
    pakforge::BuildEvents events;
    events.step = [&step](pakforge::BuildStep now) { step = now; };
    events.statusMessage = [&progress](const std::string& line) {
        progress.clear();
        std::cout << line << std::endl;
    };
    events.progress = [&progress](std::uint64_t done, std::uint64_t total) {
        if (interrupted) throw Interrupted();
        progress.show(done, total);
    };
    try {
        pakforge::build(request, events);
    } catch (const Interrupted& e) {
        progress.clear();
        std::cerr << e.what() << "\n";
        return kExitInterrupted;
    } catch (const std::exception& e) {
        progress.clear();
        reportError(failureText(e, request, step));
        return kExitFailure;
    }
    progress.clear();
    return 0;
}

// ---- --inspect and --extract -------------------------------------------------

int inspect(const Options& options) {
    // The package is read from a temporary copy, which an interrupt removes.
    pakforge::os::catchInterrupts(onInterrupt);
    const fs::path file = fullPath(options.operands[0]);
    requireRegularFile("executable", file);
    const auto report = pakforge::inspectExecutable(file, pakforge::defaultContainerPath());
    std::cout << (options.json ? pakforge::reportJson(report) : pakforge::reportText(report)) << std::flush;
    if (report.fault.empty()) return 0;
    reportError(report.fault);
    return kExitFailure;
}

int extract(const Options& options) {
    pakforge::os::catchInterrupts(onInterrupt);
    const fs::path file = fullPath(options.operands[0]);
    requireRegularFile("executable", file);
    const fs::path folder = fullPath(options.operands[1]);
    for (const auto& written : pakforge::extractCarried(file, folder, options.force))
        if (!options.quiet) std::cout << "Wrote " << quoted(written) << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    Options options;
    if (const auto settled = pakforge::cli::parseCommandLine(args, options)) return *settled;
    if (options.info) return showInfo(options.operands[0], options.json);
    if (options.checkUpdates) return checkUpdates(options.quiet);
    if (options.inspect) return inspect(options);
    if (options.extract) return extract(options);
    return runBuild(options);
}

int cliMain(const std::vector<std::string>& args) {
    try {
        return run(args);
    } catch (const Failure& failure) {
        reportError(failure.message);
    } catch (const std::exception& e) {
        reportError(e.what());
    }
    return kExitFailure;
}

} // namespace

PAKFORGE_MAIN(cliMain)
