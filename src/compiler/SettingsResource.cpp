#include "compiler/SettingsResource.h"

#include "compiler/PackageProperties.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "resources/pe/ResourceUpdate.h"

#include <zlib.h>

#include <array>
#include <stdexcept>

namespace pakforge {

namespace {

constexpr std::array<std::uint8_t, 8> kCompoundSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::vector<std::uint8_t> readWhole(const std::filesystem::path& file) {
    FileStream stream(file, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    if (stream.size() > std::int64_t{0xFFFFFFFF})
        throw Exception("The transform \"" + pathToUtf8(file) + "\" is too large");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream.size()));
    stream.readBuffer(bytes.data(), bytes.size());
    return bytes;
}

std::u16string logNameOf(const std::filesystem::path& package) {
    PackageProperties props;
    props.GetMSIProperty(pathToUtf16(package));
    return stub::logFileName(props.FProductName, props.FProductVersion);
}

} // namespace

bool isCompoundFile(const std::filesystem::path& file) {
    std::array<std::uint8_t, 8> head{};
    FileStream stream(file, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    return stream.read(head.data(), head.size()) == head.size() && head == kCompoundSignature;
}

void WriteSettingsResources(const std::filesystem::path& executable, const std::filesystem::path& package,
                            const BuiltInSettings& settings) {
    stub::SettingsRecord record;
    record.log = settings.log;
    record.noRestart = settings.noRestart;
    record.elevate = settings.elevate;
    record.ui = settings.ui;
    record.properties = settings.properties;
    if (settings.log) record.logName = logNameOf(package);
    std::vector<std::vector<std::uint8_t>> transforms;
    for (const auto& file : settings.transforms) {
        transforms.push_back(readWhole(file));
        const auto& bytes = transforms.back();
        if (bytes.size() < kCompoundSignature.size() ||
            !std::equal(kCompoundSignature.begin(), kCompoundSignature.end(), bytes.begin()))
            throw Exception("\"" + pathToUtf8(file) + "\" is not a transform: it is no compound file");
        const auto crc = crc32(crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size()));
        record.transforms.push_back({pathToUtf16(file.filename()), static_cast<std::uint32_t>(bytes.size()),
                                     static_cast<std::uint32_t>(crc)});
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes = stub::writeSettings(record);
    } catch (const std::invalid_argument&) {
        throw Exception("The settings to build in break the rules of the settings record (at most 256 "
                        "properties, 16 transforms with distinct plain file names, 128 KiB in all)");
    }
    pe::ResourceUpdate update(executable, false);
    update.update(pe::ResId::number(kRcDataType), pe::ResId::named(kSettingsResourceName), 0, bytes);
    for (std::size_t i = 0; i < transforms.size(); ++i)
        update.update(pe::ResId::number(kRcDataType), pe::ResId::named(stub::transformResourceName(i)), 0,
                      transforms[i]);
    update.commit();
}

} // namespace pakforge
