// pakforge-pack: writes, lists and extracts stub containers.
#include "container/VxStreamCol.h"
#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "platform/SystemConsole.h"
#include "resources/pe/PeImage.h"

#include <pakforge/Version.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pakforge;

constexpr const char* kUsage =
    "Usage: pakforge-pack create OUT.dat [--compress] [--encrypt --key KEY] NAME=FILE...\n"
    "  or:  pakforge-pack list FILE [--key KEY]\n"
    "  or:  pakforge-pack extract FILE NAME OUT [--key KEY]\n"
    "  or:  pakforge-pack --help | --version\n"
    "\n"
    "Writes, lists and extracts Pakforge stub containers (pakforge.dat).\n"
    "\n"
    "  create     writes a container holding each FILE under the item NAME\n"
    "  list       prints each item's size and name\n"
    "  extract    writes the item NAME of FILE to OUT\n"
    "\n"
    "Options:\n"
    "  --compress   compress the container body (LH5-style)\n"
    "  --encrypt    encipher the container (Blowfish); needs --key\n"
    "  --key KEY    the password to encipher with, or to read an encrypted container\n"
    "  -h, --help   show this help\n"
    "  --version    show the version\n"
    "\n"
    "Items that are Windows programs go in with their image checksum set, so a\n"
    "damaged copy is recognised when the container is used; a program whose\n"
    "checksum does not match its content is refused.\n"
    "\n"
    "Exit status: 0 on success, 1 when the work failed, 2 for a usage error.\n";

struct UsageError {
    std::string message;
};

int usageError(const std::string& message) {
    os::writeText(os::StdStream::Err,
                  "pakforge-pack: " + message + "\nTry 'pakforge-pack --help' for more information.\n");
    return 2;
}

int failure(const std::string& message) {
    os::writeText(os::StdStream::Err, "pakforge-pack: " + message + "\n");
    return 1;
}

struct Options {
    bool compress = false;
    bool encrypt = false;
    std::optional<std::string> key;
    std::vector<std::string> positional;
};

Options parseOptions(const std::vector<std::string>& args, bool allowWriteOptions) {
    Options options;
    bool endOfOptions = false;
    const std::size_t argc = args.size();
    for (std::size_t i = 1; i < argc; ++i) {
        const std::string& arg = args[i];
        if (!endOfOptions && arg == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && arg == "--key") {
            if (i + 1 >= argc) throw UsageError{"option '--key' needs a value"};
            options.key = args[++i];
        } else if (!endOfOptions && arg.starts_with("--key=")) {
            options.key = arg.substr(6);
        } else if (!endOfOptions && allowWriteOptions && arg == "--compress") {
            options.compress = true;
        } else if (!endOfOptions && allowWriteOptions && arg == "--encrypt") {
            options.encrypt = true;
        } else if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option '" + arg + "'"};
        } else {
            options.positional.push_back(arg);
        }
    }
    return options;
}

void loadContainer(TVxStreams& streams, const std::string& file, const Options& options) {
    if (options.key) streams.Key = utf8ToUtf16(*options.key);
    try {
        streams.LoadFromFile(pathFromUtf8(file));
    } catch (const ECorruptFile&) {
        throw Exception(
            "\"" + file + "\" is not a readable container (" + kFileIsCorrupt +
            (options.key ? " Check the key.)" : " If it is encrypted, give its key with --key.)"));
    }
}

// A program goes in with its image checksum set, so that a reader can tell a
// damaged copy from a good one; one whose checksum is already wrong is
// damaged and refused. Other files go in as they are.
void sealImage(std::vector<std::uint8_t>& data, const std::string& file) {
    pe::PeHeaders headers;
    try {
        headers = pe::parseHeaders(data);
    } catch (const Exception&) {
        return;
    }
    const std::uint32_t sum = pe::computeCheckSum(data, headers.checkSumOffset());
    if (headers.checkSum == 0)
        storeLE32(data.data() + headers.checkSumOffset(), sum);
    else if (headers.checkSum != sum)
        throw Exception("\"" + file +
                        "\" is a program whose checksum does not match its content; "
                        "the file is damaged. Build or copy it again");
}

int create(const Options& options) {
    if (options.positional.size() < 2)
        throw UsageError{"create needs an output file and at least one NAME=FILE"};
    if (options.encrypt && !options.key) throw UsageError{"--encrypt needs --key KEY"};
    if (!options.encrypt && options.key) throw UsageError{"--key given for create without --encrypt"};
    std::u16string key;
    if (options.encrypt) {
        key = utf8ToUtf16(*options.key);
        if (key.size() % 256 == 0)
            throw UsageError{"the key must not be empty nor a multiple of 256 characters long"};
        // Under a weak key the reader leaves the payload alone, so the writer
        // would have to store it unenciphered: refuse rather than do so quietly.
        const auto keyBytes = passwordKeyBytes(key);
        BlowfishState state;
        if (!SetupKey(state, keyBytes.data(), keyBytes.size()))
            throw UsageError{"the key is a weak Blowfish key, which would leave the container unenciphered; "
                             "choose another key"};
    }
    std::vector<ContainerItem> items;
    for (std::size_t i = 1; i < options.positional.size(); ++i) {
        const std::string& pairArg = options.positional[i];
        const auto eq = pairArg.find('=');
        if (eq == std::string::npos || eq + 1 == pairArg.size())
            throw UsageError{"'" + pairArg + "' is not of the form NAME=FILE"};
        if (eq == 0)
            throw UsageError{"'" + pairArg + "' has an empty item name, which could never be extracted"};
        ContainerItem item;
        item.name = utf8ToUtf16(pairArg.substr(0, eq));
        if (item.name.size() > 32767)
            throw UsageError{"the item name in '" + pairArg.substr(0, 40) + "...' is too long"};
        for (const auto& other : items)
            if (sameTextIgnoreCase(other.name, item.name))
                throw UsageError{"the item name '" + pairArg.substr(0, eq) +
                                 "' is given twice (names are compared without regard to case)"};
        item.data = readWholeFile(pathFromUtf8(pairArg.substr(eq + 1)));
        sealImage(item.data, pairArg.substr(eq + 1));
        items.push_back(std::move(item));
    }
    const auto bytes = buildContainer(items, options.compress, options.encrypt ? &key : nullptr);
    PendingFile out(pathFromUtf8(options.positional[0]));
    writeWholeFile(out.tempPath(), bytes);
    out.commit();
    return 0;
}

int list(const Options& options) {
    if (options.positional.size() != 1) throw UsageError{"list needs exactly one container file"};
    TVxStreams streams;
    loadContainer(streams, options.positional[0], options);
    std::string out;
    for (const auto& info : streams.ItemInfos()) {
        char size[32];
        std::snprintf(size, sizeof size, "%12lld  ", static_cast<long long>(info.size));
        out += size + utf16ToUtf8(info.name) + "\n";
    }
    if (!os::writeText(os::StdStream::Out, out)) throw Exception("cannot write to standard output");
    return 0;
}

int extract(const Options& options) {
    if (options.positional.size() != 3)
        throw UsageError{"extract needs a container file, an item name and an output file"};
    const std::u16string name = utf8ToUtf16(options.positional[1]);
    if (name.empty()) throw UsageError{"the item name must not be empty"};
    TVxStreams streams;
    loadContainer(streams, options.positional[0], options);
    bool found = false;
    for (const auto& info : streams.ItemInfos())
        if (sameTextIgnoreCase(info.name, name)) found = true;
    if (!found)
        return failure("no item named '" + options.positional[1] + "' in \"" + options.positional[0] + "\"");
    MemoryStream data;
    streams.GetStream(name, data);
    PendingFile out(pathFromUtf8(options.positional[2]));
    writeWholeFile(out.tempPath(), data.bytes());
    out.commit();
    return 0;
}

} // namespace

namespace {

int packMain(const std::vector<std::string>& args) {
    if (args.empty()) return usageError("missing command");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        os::writeText(os::StdStream::Out, kUsage);
        return 0;
    }
    if (command == "--version") {
        os::writeText(os::StdStream::Out, std::string("pakforge-pack ") + PAKFORGE_VERSION + "\n");
        return 0;
    }
    try {
        if (command == "create") return create(parseOptions(args, true));
        if (command == "list") return list(parseOptions(args, false));
        if (command == "extract") return extract(parseOptions(args, false));
        return usageError("unknown command '" + command + "'");
    } catch (const UsageError& e) {
        return usageError(e.message);
    } catch (const pakforge::Exception& e) {
        return failure(e.message());
    } catch (const std::bad_alloc&) {
        return failure("out of memory");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}

} // namespace

PAKFORGE_MAIN(packMain)
