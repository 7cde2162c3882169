#include "compiler/ExecutableReport.h"

#include "Archive.h"
#include "SettingsWriter.h"
#include "container/VxStreamCol.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "resources/pe/PeCheckSum.h"
#include "resources/pe/PeImage.h"
#include "resources/unitResourceVersionInfo.h"
#include "services/MsiPackage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <zlib.h>

namespace pakforge {

namespace {

constexpr std::uint16_t kTypeRcData = 10;
constexpr std::uint16_t kTypeGroupIcon = 14;
constexpr std::uint16_t kTypeVersion = 16;
constexpr std::uint16_t kTypeManifest = 24;
constexpr std::uint32_t kCodeSection = 0x00000020;
// A stub with its resources is small; more than this before the archive is
// no image of ours and is not read into memory.
constexpr std::uint64_t kMaxImageBytes = 256u << 20;

// The stub's archive reader over one of our file streams.
class FileSource final : public stub::Source {
  public:
    explicit FileSource(FileStream& file) : file_(file), size_(static_cast<std::uint64_t>(file.size())) {}
    bool readAt(std::uint64_t offset, void* buffer, std::uint32_t length) override {
        if (offset > size_ || length > size_ - offset) return false;
        file_.setPosition(static_cast<std::int64_t>(offset));
        return file_.read(buffer, length) == length;
    }
    std::uint64_t size() const override { return size_; }

  private:
    FileStream& file_;
    std::uint64_t size_;
};

// Keeps a write error to raise it once the reader has let go of its state.
class StreamSink final : public stub::Sink {
  public:
    explicit StreamSink(Stream& out) : out_(out) {}
    bool write(const void* data, std::uint32_t length) override {
        try {
            out_.writeBuffer(data, length);
            return true;
        } catch (...) {
            error_ = std::current_exception();
            return false;
        }
    }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

  private:
    Stream& out_;
    std::exception_ptr error_;
};

// Inflates the entry into `out`; false when the entry is damaged.
bool inflateInto(stub::Source& source, const stub::Entry& entry, Stream& out) {
    StreamSink sink(out);
    const auto result = stub::inflateEntry(source, entry, sink);
    sink.rethrow();
    if (result == stub::InflateResult::OutOfMemory) throw Exception("Out of memory");
    if (result == stub::InflateResult::ReadFailed) throw EReadError(kStreamReadError);
    return result == stub::InflateResult::Ok;
}

constexpr const char* kDamagedEntry =
    "the archive's entry is damaged: it does not inflate to its recorded size and CRC-32";

std::string text(std::u16string_view value) {
    return utf16ToUtf8(value);
}

std::string hex32(std::uint32_t value) {
    char buffer[11];
    std::snprintf(buffer, sizeof buffer, "0x%08x", value);
    return buffer;
}

void fault(InspectReport& report, const std::string& what) {
    if (report.fault.empty()) report.fault = what;
}

// The headers and everything up to the end of the last section's raw data.
std::vector<std::uint8_t> readImage(FileStream& file, pe::PeHeaders& headers) {
    const auto fileSize = static_cast<std::uint64_t>(file.size());
    std::vector<std::uint8_t> image(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, 64 * 1024)));
    file.setPosition(0);
    file.readBuffer(image.data(), image.size());
    headers = pe::parseHeaders(image);
    std::uint64_t end = headers.sizeOfHeaders;
    for (const auto& section : headers.sections)
        if (section.sizeOfRawData != 0)
            end =
                std::max<std::uint64_t>(end, std::uint64_t{section.pointerToRawData} + section.sizeOfRawData);
    if (end > fileSize || end > kMaxImageBytes)
        throw pe::EBadImage("the sections reach beyond the end of the file");
    image.resize(static_cast<std::size_t>(end));
    file.setPosition(0);
    file.readBuffer(image.data(), image.size());
    headers = pe::parseHeaders(image);
    return image;
}

void readIconGroup(std::span<const std::uint8_t> data, InspectReport& report) {
    ByteReader r(data);
    r.skip(4);
    const std::uint16_t count = r.u16();
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t width = r.u8();
        const std::uint8_t height = r.u8();
        r.skip(4); // colours, reserved, planes
        const std::uint16_t bits = r.u16();
        r.skip(6); // bytes in resource, id
        report.icons.push_back({width ? width : 256u, height ? height : 256u, bits});
    }
}

// The value of level="..." in the requestedExecutionLevel element.
std::string executionLevel(std::span<const std::uint8_t> data) {
    const std::string manifest(data.begin(), data.end());
    const auto element = manifest.find("<requestedExecutionLevel");
    if (element == std::string::npos) return {};
    const auto end = manifest.find('>', element);
    const auto attribute = manifest.find("level=\"", element);
    if (attribute == std::string::npos || attribute > end) return {};
    const auto start = attribute + 7;
    const auto close = manifest.find('"', start);
    return close == std::string::npos ? std::string() : manifest.substr(start, close - start);
}

void readVersion(std::span<const std::uint8_t> data, InspectReport& report) {
    const TVersionInfoBlock block(data);
    const auto tables = block.StringTables();
    if (tables.empty()) return;
    for (const auto& [key, value] : tables.front().Values)
        report.version.emplace_back(text(key), text(value));
}

// The named data resources: the settings record and the transforms.
using NamedData = std::map<std::u16string, std::span<const std::uint8_t>>;

void readResources(std::span<const std::uint8_t> image, const pe::PeHeaders& headers, InspectReport& report,
                   bool& manifestSeen, NamedData& named) {
    // The build puts its icon in MAINICON; without one, the shell shows the
    // first group.
    bool mainIconRead = false;
    pe::forEachResource(image, headers, [&](const pe::ResourceEntry& entry) {
        if (entry.type.isName()) return;
        switch (entry.type.id()) {
        case kTypeRcData:
            if (entry.name.isName()) named.emplace(entry.name.name(), entry.data);
            break;
        case kTypeGroupIcon:
            if (mainIconRead || (!report.icons.empty() && !(entry.name == pe::ResId::named(u"MAINICON"))))
                break;
            report.icons.clear();
            readIconGroup(entry.data, report);
            mainIconRead = entry.name == pe::ResId::named(u"MAINICON");
            break;
        case kTypeVersion:
            if (report.version.empty()) readVersion(entry.data, report);
            break;
        case kTypeManifest:
            manifestSeen = true;
            report.executionLevel = executionLevel(entry.data);
            break;
        default:
            break;
        }
    });
}

std::uint32_t crcOf(std::span<const std::uint8_t> data) {
    uLong crc = crc32(0, nullptr, 0);
    for (std::size_t at = 0; at < data.size();) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(data.size() - at, 1u << 30));
        crc = crc32(crc, data.data() + at, piece);
        at += piece;
    }
    return static_cast<std::uint32_t>(crc);
}

// The record read and each transform checked as the stub checks it.
void readSettings(const NamedData& named, InspectReport& report) {
    const auto found = named.find(u"SETTINGS");
    if (found == named.end()) return;
    const auto record = stub::readSettings(found->second);
    if (!record) {
        fault(report, "the built-in install settings are damaged");
        return;
    }
    auto& out = report.settings;
    for (const auto& property : record->properties)
        out.emplace_back(text(property.name), text(property.value));
    if (record->ui != stub::UiLevel::NotChosen) out.emplace_back("UI level", stub::uiLevelWord(record->ui));
    if (record->log) out.emplace_back("Log", text(record->logName));
    if (record->noRestart) out.emplace_back("No restart", "yes");
    if (record->elevate) out.emplace_back("Elevate", "yes");
    for (std::size_t i = 0; i < record->transforms.size(); ++i) {
        const auto& transform = record->transforms[i];
        const auto data = named.find(stub::transformResourceName(i));
        const bool whole = data != named.end() && data->second.size() == transform.size &&
                           crcOf(data->second) == transform.crc32;
        out.emplace_back("Transform " + std::to_string(i + 1),
                         text(transform.name) + ", " + std::to_string(transform.size) + " bytes, CRC-32 " +
                             hex32(transform.crc32) + (whole ? " (checked)" : " (damaged)"));
        if (!whole) fault(report, "the transform " + text(transform.name) + " is damaged or missing");
    }
    if (record->elevate && report.executionLevel != "requireAdministrator")
        fault(report, "the settings ask for administrator rights but the manifest does not");
}

// The code sections, which the resource editor never touches.
std::vector<std::span<const std::uint8_t>> codeOf(std::span<const std::uint8_t> image,
                                                  const pe::PeHeaders& headers) {
    std::vector<std::span<const std::uint8_t>> code;
    for (const auto& section : headers.sections) {
        if (!(section.characteristics & kCodeSection)) continue;
        const std::uint64_t end = std::uint64_t{section.pointerToRawData} + section.sizeOfRawData;
        if (end > image.size()) throw pe::EBadImage("a code section lies beyond the file");
        code.push_back(image.subspan(section.pointerToRawData, section.sizeOfRawData));
    }
    return code;
}

bool sameCode(std::span<const std::uint8_t> image, const pe::PeHeaders& headers,
              const std::filesystem::path& container) {
    TVxStreams stubs;
    stubs.Compressed = true;
    stubs.Encrypted = true;
    stubs.Key = std::u16string(kContainerKey);
    stubs.LoadFromFile(container, FileStream::Share::DenyWrite);
    MemoryStream stub;
    stubs.GetStream(u"exe", stub);
    const auto ours = codeOf(stub.bytes(), pe::parseHeaders(stub.bytes()));
    const auto theirs = codeOf(image, headers);
    return ours.size() == theirs.size() && !ours.empty() &&
           std::equal(ours.begin(), ours.end(), theirs.begin(),
                      [](auto a, auto b) { return std::ranges::equal(a, b); });
}

std::uint32_t wholeFileCheckSum(FileStream& file, std::uint32_t checkSumOffset) {
    pe::CheckSumAccumulator sum(checkSumOffset);
    std::vector<std::uint8_t> buffer(1u << 20);
    file.setPosition(0);
    while (const std::size_t n = file.read(buffer.data(), buffer.size())) sum.add({buffer.data(), n});
    return sum.finish();
}

// A file of our own in the temporary folder, gone with the object.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& suffix) {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() /
                ("pakforge-inspect-" + std::to_string(stamp) + "-" + std::to_string(counter++) + suffix);
        os::removeOnInterrupt(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        os::removeFile(path_);
        os::keepOnInterrupt(path_);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Inflates the entry into a temporary copy and reads the package there.
void readArchive(FileStream& file, InspectReport& report) {
    FileSource source(file);
    stub::Entry entry;
    if (!stub::locateEntry(source, entry)) {
        fault(report, "no installer archive is appended, or its directory is damaged");
        return;
    }
    report.archive = InspectReport::Archive{std::string(entry.name, entry.nameLength),
                                            8,
                                            entry.compressedSize,
                                            entry.uncompressedSize,
                                            entry.crc32,
                                            false};
    TemporaryFile copy(".msi");
    {
        FileStream out(copy.path(), FileStream::Mode::Create);
        if (!inflateInto(source, entry, out)) {
            fault(report, kDamagedEntry);
            return;
        }
    }
    report.archive->checked = true;
    static const std::u16string names[] = {u"ProductName", u"ProductVersion", u"Manufacturer", u"ProductCode",
                                           u"UpgradeCode"};
    const auto values = services::ReadPackageProperties(pathToUtf16(copy.path()), names);
    if (!values) {
        fault(report, "the carried package is not a Windows Installer package");
        return;
    }
    for (std::size_t i = 0; i < std::size(names); ++i)
        report.package.emplace_back(text(names[i]), text((*values)[i]));
}

void checkSignature(FileStream& file, const pe::PeHeaders& headers, InspectReport& report) {
    const auto table = headers.directory(pe::kDirSecurity);
    report.signature = table.size != 0;
    if (!report.signature) return;
    FileSource source(file);
    std::uint64_t end = 0;
    report.signatureAfterArchive = stub::findArchiveEnd(source, end) && report.archive && end == table.rva;
    if (!report.signatureAfterArchive) fault(report, "the signature does not follow the archive");
}

struct CarriedTransform {
    std::u16string name;
    std::vector<std::uint8_t> data;
};

// The transforms the settings record lists, each checked against it.
std::vector<CarriedTransform> carriedTransforms(FileStream& file) {
    pe::PeHeaders headers;
    const auto image = readImage(file, headers);
    InspectReport report;
    bool manifestSeen = false;
    NamedData named;
    readResources(image, headers, report, manifestSeen, named);
    readSettings(named, report);
    if (!report.fault.empty()) throw Exception(report.fault);
    std::vector<CarriedTransform> transforms;
    const auto found = named.find(u"SETTINGS");
    if (found == named.end()) return transforms;
    const auto record = stub::readSettings(found->second);
    for (std::size_t i = 0; i < record->transforms.size(); ++i) {
        const auto data = named.at(stub::transformResourceName(i));
        transforms.push_back({record->transforms[i].name, {data.begin(), data.end()}});
    }
    return transforms;
}

void checkImage(FileStream& file, const std::filesystem::path& container, InspectReport& report) {
    pe::PeHeaders headers;
    std::vector<std::uint8_t> image;
    try {
        image = readImage(file, headers);
    } catch (const pe::EBadImage& e) {
        fault(report, "not a Windows executable: " + e.reason());
        return;
    }
    bool manifestSeen = false;
    NamedData named;
    try {
        readResources(image, headers, report, manifestSeen, named);
    } catch (const Exception& e) {
        fault(report, std::string("the resources are damaged: ") + e.what());
    }
    if (!manifestSeen) fault(report, "the executable has no manifest");
    readSettings(named, report);
    try {
        report.stubIsOurs = sameCode(image, headers, container);
        if (!*report.stubIsOurs) fault(report, "the stub is not the one in " + pathToUtf8(container));
    } catch (const Exception& e) {
        fault(report, "the stub cannot be compared with " + pathToUtf8(container) + ": " + e.what());
    }
    readArchive(file, report);
    if (headers.checkSum != 0) {
        report.checkSum = {headers.checkSum, wholeFileCheckSum(file, headers.checkSumOffset())};
        if (report.checkSum->stored != report.checkSum->computed)
            fault(report, "the PE checksum does not match: stored " + hex32(report.checkSum->stored) +
                              ", computed " + hex32(report.checkSum->computed));
    }
    checkSignature(file, headers, report);
}

} // namespace

InspectReport inspectExecutable(const std::filesystem::path& file, const std::filesystem::path& container) {
    InspectReport report;
    report.file = file;
    FileStream stream(file, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    checkImage(stream, container, report);
    return report;
}

std::vector<std::filesystem::path> extractCarried(const std::filesystem::path& file,
                                                  const std::filesystem::path& folder, bool replace) {
    FileStream stream(file, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    FileSource source(stream);
    stub::Entry entry;
    if (!stub::locateEntry(source, entry))
        throw Exception("\"" + pathToUtf8(file) +
                        "\" carries no installer archive, or its directory is damaged");
    if (!stub::isPlainFileName(entry.name, entry.nameLength))
        throw Exception("the archive's entry name \"" + std::string(entry.name, entry.nameLength) +
                        "\" is not a plain file name");
    const auto transforms = carriedTransforms(stream);
    std::vector<std::filesystem::path> targets{folder /
                                               pathFromUtf8(std::string_view(entry.name, entry.nameLength))};
    for (const auto& transform : transforms) targets.push_back(folder / pathFromUtf16(transform.name));
    std::error_code ec;
    for (const auto& target : targets)
        if (!replace && std::filesystem::exists(std::filesystem::symlink_status(target, ec)))
            throw Exception("\"" + pathToUtf8(target) + "\" exists; pass --force to replace it");

    // Everything is written and checked before anything takes its name.
    std::vector<std::unique_ptr<PendingFile>> pending;
    for (const auto& target : targets) pending.push_back(std::make_unique<PendingFile>(target));
    {
        auto out = pending[0]->open(FileStream::Mode::Create);
        if (!inflateInto(source, entry, *out)) throw Exception(kDamagedEntry);
        out->flush();
    }
    for (std::size_t i = 0; i < transforms.size(); ++i) {
        auto out = pending[i + 1]->open(FileStream::Mode::Create);
        out->writeBytes(transforms[i].data);
        out->flush();
    }
    for (auto& file : pending) file->commit();
    return targets;
}

namespace {

std::string jsonString(std::string_view value) {
    return jsonQuoted(value);
}

std::string jsonObject(const InspectReport::Pairs& pairs) {
    std::string out = "{";
    for (const auto& [key, value] : pairs)
        out += (out.size() > 1 ? ", " : "") + jsonString(key) + ": " + jsonString(value);
    return out + "}";
}

std::string jsonBool(bool value) {
    return value ? "true" : "false";
}

std::string iconsText(const InspectReport& report, bool json) {
    std::string out;
    for (const auto& icon : report.icons) {
        const auto w = std::to_string(icon.width), h = std::to_string(icon.height),
                   b = std::to_string(icon.bitCount);
        if (!out.empty()) out += ", ";
        out += json ? "{\"width\": " + w + ", \"height\": " + h + ", \"bitCount\": " + b + "}"
                    : w + "x" + h + " (" + b + " bit)";
    }
    return json ? "[" + out + "]" : out.empty() ? "none" : out;
}

std::string archiveJson(const InspectReport::Archive& a) {
    return "{\"name\": " + jsonString(a.name) + ", \"method\": " + std::to_string(a.method) +
           ", \"compressedSize\": " + std::to_string(a.compressedSize) +
           ", \"size\": " + std::to_string(a.size) + ", \"crc32\": " + jsonString(hex32(a.crc32)) +
           ", \"checked\": " + jsonBool(a.checked) + "}";
}

void line(std::string& out, const std::string& label, const std::string& value) {
    constexpr std::size_t kColumn = 20;
    out += label + ":";
    if (!value.empty())
        out += std::string(label.size() + 1 < kColumn ? kColumn - label.size() - 1 : 1, ' ') + value;
    out += "\n";
}

void pairLines(std::string& out, const InspectReport::Pairs& pairs) {
    for (const auto& [key, value] : pairs) line(out, "  " + key, value);
}

} // namespace

std::string reportText(const InspectReport& report) {
    std::string out;
    line(out, "File", pathToUtf8(report.file));
    line(out, "Stub",
         !report.stubIsOurs   ? "not compared"
         : *report.stubIsOurs ? "Pakforge's"
                              : "not Pakforge's");
    pairLines(out, report.version);
    line(out, "Icon", iconsText(report, false));
    line(out, "Execution level", report.executionLevel.empty() ? "none" : report.executionLevel);
    line(out, "Settings", report.settings.empty() ? "none" : "");
    pairLines(out, report.settings);
    if (report.archive) {
        const auto& a = *report.archive;
        line(out, "Archive",
             "\"" + a.name + "\", " + std::to_string(a.size) + " bytes deflated to " +
                 std::to_string(a.compressedSize) + ", CRC-32 " + hex32(a.crc32) +
                 (a.checked ? " (checked)" : " (damaged)"));
    } else {
        line(out, "Archive", "none");
    }
    if (!report.package.empty()) line(out, "Package", "");
    pairLines(out, report.package);
    if (report.checkSum)
        line(out, "Checksum",
             hex32(report.checkSum->stored) +
                 (report.checkSum->stored == report.checkSum->computed ? " (matches)" : " (wrong)"));
    else
        line(out, "Checksum", "none");
    line(out, "Signature",
         !report.signature              ? "none"
         : report.signatureAfterArchive ? "present, after the archive"
                                        : "present, misplaced");
    return out;
}

std::string reportJson(const InspectReport& report) {
    std::string out = "{\"file\": " + jsonString(pathToUtf8(report.file));
    out += ", \"ok\": " + jsonBool(report.fault.empty());
    out += ", \"fault\": " + (report.fault.empty() ? std::string("null") : jsonString(report.fault));
    out += ", \"stub\": {\"ours\": " + (report.stubIsOurs ? jsonBool(*report.stubIsOurs) : "null") +
           ", \"version\": " + jsonObject(report.version) + "}";
    out += ", \"icon\": " + iconsText(report, true);
    out += ", \"executionLevel\": " + jsonString(report.executionLevel);
    out += ", \"settings\": " + jsonObject(report.settings);
    out += ", \"archive\": " + (report.archive ? archiveJson(*report.archive) : "null");
    out += ", \"package\": " + jsonObject(report.package);
    out += ", \"checksum\": " +
           (report.checkSum
                ? "{\"stored\": " + jsonString(hex32(report.checkSum->stored)) +
                      ", \"computed\": " + jsonString(hex32(report.checkSum->computed)) +
                      ", \"matches\": " + jsonBool(report.checkSum->stored == report.checkSum->computed) + "}"
                : "null");
    out += ", \"signature\": {\"present\": " + jsonBool(report.signature) +
           ", \"afterArchive\": " + jsonBool(report.signatureAfterArchive) + "}";
    return out + "}\n";
}

} // namespace pakforge
