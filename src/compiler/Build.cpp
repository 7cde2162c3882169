#include "compiler/Build.h"

#include "compiler/Manifest.h"
#include "container/VxStreamCol.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceGraphics.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
#include <unistd.h>

namespace pakforge {

namespace {

void log(const BuildRequest& request, const BuildEvents& events, const std::string& line) {
    if (request.verbose && events.statusMessage) events.statusMessage(line);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The work happens in a temporary file beside the output; messages that name
// it are reworded to name the output, which is what the user asked for.
template <typename... Types> struct Renamer;
template <> struct Renamer<> {
    [[noreturn]] static void raise(const std::string&, const std::string&) { throw; }
};
template <typename First, typename... Rest> struct Renamer<First, Rest...> {
    [[noreturn]] static void raise(const std::string& from, const std::string& to) {
        try {
            throw;
        } catch (const First& e) {
            if (e.message().find(from) == std::string::npos) throw;
            if constexpr (std::is_same_v<First, EOSError>)
                throw EOSError(replaceAll(e.message(), from, to), e.errorCode());
            else
                throw First(replaceAll(e.message(), from, to));
        } catch (...) {
            Renamer<Rest...>::raise(from, to);
        }
    }
};

[[noreturn]] void rethrowNaming(const std::filesystem::path& temp, const std::filesystem::path& output) {
    Renamer<EFCreateError, EFOpenError, EFileStreamError, EReadError, EWriteError, EStreamError, EOSError,
            ECorruptFile, EZipException, EInvalidGraphic, ERangeError, EOutOfMemory,
            Exception>::raise(temp.string(), output.string());
}

// An existing output that could not be replaced in place is refused the way
// creating it would be.
void checkOutputWritable(const std::filesystem::path& output) {
    std::error_code ec;
    const auto status = std::filesystem::status(output, ec);
    if (!std::filesystem::exists(status)) return;
    if (std::filesystem::is_directory(status)) raiseCreateError(output, EISDIR);
    // Renaming over a device or a pipe (say /dev/null) would replace it.
    if (!std::filesystem::is_regular_file(status))
        throw EFCreateError("Cannot create file \"" + output.string() + "\". It is not a regular file");
    if (::access(output.c_str(), W_OK) != 0) raiseCreateError(output, errno);
}

// A link at the output is followed, also when what it names does not exist
// yet, so the file it names is written and the link stays.
std::filesystem::path linkTarget(const std::filesystem::path& output) {
    std::filesystem::path target = output;
    std::error_code ec;
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
        const auto next = std::filesystem::read_symlink(target, ec);
        if (ec) return output;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

bool iconFileExists(const std::filesystem::path& icon) {
    if (icon.empty()) return false;
    std::error_code ec;
    const auto status = std::filesystem::status(icon, ec);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

} // namespace

std::filesystem::path programFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path();
    return self.parent_path();
}

std::filesystem::path programDataFile(const std::filesystem::path& name) {
    const auto folder = programFolder();
    const auto beside = folder / name;
    std::error_code ec;
    if (std::filesystem::exists(beside, ec)) return beside;
    const auto shared = (folder.parent_path() / "share" / "pakforge" / name).lexically_normal();
    if (std::filesystem::exists(shared, ec)) return shared;
    return beside;
}

std::filesystem::path defaultContainerPath() {
    // Made absolute so that messages about it name it in full.
    if (const char* env = std::getenv(kContainerEnvironment); env && *env) {
        std::error_code ec;
        const auto full = std::filesystem::absolute(env, ec);
        return ec ? std::filesystem::path(env) : full.lexically_normal();
    }
    return programDataFile(kContainerFileName);
}

std::string currentTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[128] = {};
    const std::size_t n = std::strftime(text, sizeof text, "%X", &local);
    return std::string(text, n);
}

void build(const BuildRequest& request, const BuildEvents& events) {
    if (request.output.empty()) return;
    if (request.verbose && events.clearLog) events.clearLog();

    // Container first: a missing or damaged one leaves the output untouched.
    TVxStreams stubs;
    stubs.Compressed = true;
    stubs.Encrypted = true;
    stubs.Key = std::u16string(kContainerKey);
    stubs.LoadFromFile(request.container.empty() ? defaultContainerPath() : request.container);
    MemoryStream stub;
    stubs.GetStream(u"exe", stub);

    const std::filesystem::path target = linkTarget(request.output);
    // Errors name the path the user gave, not the file a link there leads to.
    std::optional<PendingFile> pending;
    try {
        checkOutputWritable(target);
        pending.emplace(target);
    } catch (...) {
        if (target == request.output) throw;
        rethrowNaming(target, request.output);
    }
    const auto& work = pending->tempPath();

    try {
        stub.saveToFile(work);
        stub.clear();
        log(request, events, "*** Starting Compile [" + currentTimeText() + "]");

        {
            TNTModule module;
            module.LoadFromFile(work);
            if (iconFileExists(request.icon)) {
                log(request, events, "Updating Icon...");
                auto* group =
                    TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
                group->Dirty = true;
                group->LoadFromIconFile(request.icon);
            }
            module.SaveToFile(work);
        }

        WriteManifestResource(work); // a stub without our manifest still works

        log(request, events, "Processing MSI package...");
        log(request, events, "Building EXE file...");
        {
            FileStream out(work, FileStream::Mode::OpenWrite, FileStream::Share::DenyWrite);
            TZipFile zip;
            zip.onProgress = events.progress;
            out.seek(0, SeekOrigin::End);
            zip.open(out);
            try {
                zip.addFile(request.package, {}, 8);
            } catch (...) {
                try {
                    zip.close();
                } catch (...) {
                    // The first failure is the one to report.
                }
                throw;
            }
            zip.close();
        }
    } catch (...) {
        rethrowNaming(work, request.output);
    }
    try {
        pending->commit();
    } catch (...) {
        if (target == request.output) throw;
        rethrowNaming(target, request.output);
    }

    log(request, events, "EXE file saved as: " + request.output.string());
    log(request, events, "*** Finished. [" + currentTimeText() + "]");
}

} // namespace pakforge
