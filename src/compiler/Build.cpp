#include "compiler/Build.h"

#include "compiler/Manifest.h"
#include "compiler/VersionResource.h"
#include "container/VxStreamCol.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "resources/pe/PeCheckSum.h"
#include "resources/pe/PeImage.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceGraphics.h"

#include <exception>
#include <optional>

namespace pakforge {

namespace {

void log(const BuildRequest& request, const BuildEvents& events, const std::string& line) {
    if (request.verbose && events.statusMessage) events.statusMessage(line);
}

void enter(const BuildEvents& events, BuildStep step) {
    if (events.step) events.step(step);
}

// An existing output that could not be replaced in place is refused the way
// creating it would be.
void checkOutputWritable(const std::filesystem::path& output, const std::filesystem::path& shownAs) {
    std::error_code ec;
    const auto status = std::filesystem::status(output, ec);
    if (!std::filesystem::exists(status)) return;
    if (std::filesystem::is_directory(status))
        raiseCreateError(shownAs, os::errorCode(os::Error::IsDirectory));
    // Renaming over a device or a pipe (say /dev/null) would replace it.
    if (!std::filesystem::is_regular_file(status))
        throw EFCreateError("Cannot create file \"" + pathToUtf8(shownAs) + "\". It is not a regular file");
    if (const auto error = os::checkWritable(output)) raiseCreateError(shownAs, error);
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

// What a name leads to; none when nothing is there to read.
std::optional<os::FileInfo> infoOf(const std::filesystem::path& path) {
    os::FileInfo info;
    if (path.empty() || os::fileInfo(path, info) != 0) return std::nullopt;
    return info;
}

void refuseSpecialFile(const std::optional<os::FileInfo>& info, const std::filesystem::path& path) {
    if (info && info->kind == os::FileKind::Other)
        throw Exception("\"" + pathToUtf8(path) + "\" is not a file.");
}

std::filesystem::path containerOf(const BuildRequest& request) {
    return request.container.empty() ? defaultContainerPath() : request.container;
}

bool iconFileExists(const std::filesystem::path& icon) {
    if (icon.empty()) return false;
    std::error_code ec;
    const auto status = std::filesystem::status(icon, ec);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// A stub whose header carries a checksum must match it: a container cut
// short or damaged in a way the decoder cannot see is caught here, before
// anything is written. A stub without one (checksum 0) is taken as it is.
// Returns where the checksum lies, 0 when the stub is no image.
std::uint32_t checkStub(std::span<const std::uint8_t> stub) {
    pe::PeHeaders headers;
    try {
        headers = pe::parseHeaders(stub);
    } catch (const Exception&) {
        return 0; // the resource step reports it
    }
    if (headers.checkSum != 0 && headers.checkSum != pe::computeCheckSum(stub, headers.checkSumOffset()))
        throw ECorruptFile(kFileIsCorrupt);
    return headers.checkSumOffset();
}

// The archive lies beyond what the resource writer summed: the checksum is
// set again over the whole file, when the stub carries one.
void storeFinalCheckSum(FileStream& file, std::uint32_t checkSumOffset) {
    file.setPosition(checkSumOffset);
    std::uint8_t field[4] = {};
    file.readBuffer(field, sizeof field);
    if (loadLE32(field) == 0) return;
    pe::CheckSumAccumulator sum(checkSumOffset);
    std::vector<std::uint8_t> buffer(1u << 20);
    file.setPosition(0);
    while (const std::size_t n = file.read(buffer.data(), buffer.size())) sum.add({buffer.data(), n});
    if (file.position() != file.size()) throw EReadError(kStreamReadError);
    storeLE32(field, sum.finish());
    file.setPosition(checkSumOffset);
    file.writeBuffer(field, sizeof field);
}

// A stub without our manifest still works; one built to ask for
// administrator rights must say so, or its settings would not hold.
void writeManifest(const std::filesystem::path& work, bool elevate) {
    if (!WriteManifestResource(work, elevate) && elevate)
        throw Exception("Cannot write the manifest that asks for administrator rights");
}

} // namespace

std::filesystem::path programFolder() {
    std::filesystem::path self;
    // Never fall back to the current folder: a file planted there would be
    // taken for ours.
    if (const auto error = os::programPath(self))
        throw Exception("Cannot find the folder of the running program (" + systemErrorText(error) +
                        "); set " + kContainerEnvironment + " to the path of " + kContainerFileName);
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
    if (const auto env = os::environmentVariable(kContainerEnvironment); env && !env->empty()) {
        const auto given = pathFromUtf8(*env);
        std::filesystem::path full;
        return os::fullPath(given, full) == 0 ? full : given;
    }
    return programDataFile(kContainerFileName);
}

std::string currentTimeText() {
    return os::localTimeText();
}

void checkBuildInputs(const BuildRequest& request) {
    const auto package = infoOf(request.package);
    const auto icon = infoOf(request.icon);
    refuseSpecialFile(package, request.package);
    refuseSpecialFile(icon, request.icon);

    const auto output = infoOf(request.output);
    if (!output || output->kind != os::FileKind::Regular) return;
    const auto container = containerOf(request);
    const struct {
        const char* role;
        const std::filesystem::path& path;
        std::optional<os::FileInfo> info;
    } inputs[] = {{"package", request.package, package},
                  {"icon", request.icon, icon},
                  {"stub container", container, infoOf(container)}};
    for (const auto& input : inputs) {
        if (input.info && input.info->kind == os::FileKind::Regular && input.info->sameFile(*output))
            throw Exception("The output \"" + pathToUtf8(request.output) + "\" is the " + input.role + " \"" +
                            pathToUtf8(input.path) + "\" itself: choose another output path.");
    }
}

void build(const BuildRequest& request, const BuildEvents& events) {
    if (request.output.empty()) return;
    if (request.verbose && events.clearLog) events.clearLog();
    checkBuildInputs(request);

    // Container first: a missing or damaged one leaves the output untouched.
    enter(events, BuildStep::Container);
    TVxStreams stubs;
    stubs.Compressed = true;
    stubs.Encrypted = true;
    stubs.Key = std::u16string(kContainerKey);
    stubs.LoadFromFile(containerOf(request), request.inputShare);
    MemoryStream stub;
    stubs.GetStream(u"exe", stub);
    const std::uint32_t checkSumOffset = checkStub(stub.bytes());

    // Errors name the path the user gave, not the file a link there leads to
    // nor the temporary file the work is done in.
    enter(events, BuildStep::Output);
    const std::filesystem::path target = linkTarget(request.output);
    checkOutputWritable(target, request.output);
    PendingFile pending(target, request.output);
    const auto& work = pending.tempPath();

    stub.saveToStream(*pending.open(FileStream::Mode::Create));
    stub.clear();
    log(request, events, "*** Starting Compile [" + currentTimeText() + "]");

    {
        enter(events, BuildStep::Stub);
        TNTModule module;
        module.LoadFromFile(work);
        if (iconFileExists(request.icon)) {
            log(request, events, "Updating Icon...");
            enter(events, BuildStep::Icon);
            auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
            group->Dirty = true;
            group->LoadFromIconFile(request.icon);
            enter(events, BuildStep::Stub);
        }
        module.SaveToFile(work);
    }

    writeManifest(work, request.settings.elevate);
    enter(events, BuildStep::Package);
    if (request.versionInfo) WriteVersionResource(work, request.package, request.output);
    if (request.settings.any()) WriteSettingsResources(work, request.package, request.settings);

    log(request, events, "Processing MSI package...");
    log(request, events, "Building EXE file...");
    {
        const auto out = pending.open(FileStream::Mode::OpenReadWrite, FileStream::Share::DenyWrite);
        TZipFile zip;
        zip.onProgress = events.progress;
        zip.deflateOptions = request.compression;
        zip.sourceShare = request.inputShare;
        zip.fixedTime = request.entryTime;
        out->seek(0, SeekOrigin::End);
        zip.open(*out);
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
        enter(events, BuildStep::Output);
        if (checkSumOffset != 0) storeFinalCheckSum(*out, checkSumOffset);
    }
    pending.commit();

    log(request, events, "EXE file saved as: " + pathToUtf8(request.output));
    log(request, events, "*** Finished. [" + currentTimeText() + "]");
}

} // namespace pakforge
