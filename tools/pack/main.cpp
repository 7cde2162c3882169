// pakforge-pack: writes, lists and extracts stub containers.
#include "container/VxStreamCol.h"
#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/SystemConsole.h"
#include "resources/pe/PeImage.h"

#include <pakforge/Version.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pakforge;

constexpr const char* kUsage =
    "Usage: pakforge-pack create OUT.dat [--compress] [--encrypt [--key KEY]] NAME=FILE...\n"
    "  or:  pakforge-pack list FILE [--key KEY]\n"
    "  or:  pakforge-pack extract FILE NAME OUT [--key KEY]\n"
    "  or:  pakforge-pack -h | --help | -V | --version\n"
    "\n"
    "Writes, lists and extracts Pakforge stub containers (pakforge.dat).\n"
    "\n"
    "  create     writes a container holding each FILE under the item NAME\n"
    "  list       prints each item's size and name\n"
    "  extract    writes the item NAME of FILE to OUT ('-' for standard output)\n"
    "\n"
    "Options may come before, between or after the operands; '--' ends them.\n"
    "\n"
    "Options:\n"
    "  --compress     compress the container body (LH5-style)\n"
    "  --encrypt      encipher the container (Blowfish), with Pakforge's built-in\n"
    "                 key unless --key names another\n"
    "  --key KEY      the password to encipher with, or to read the container with;\n"
    "                 without it, Pakforge's built-in key, which pakforge.dat has\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n"
    "\n"
    "Items that are Windows programs go in with their image checksum set, so a\n"
    "damaged copy is recognised when the container is used; a program whose\n"
    "checksum does not match its content is refused.\n"
    "\n"
    "Exit status: 0 on success, 1 when the work failed, 2 for a usage error,\n"
    "130 when interrupted.\n";

struct UsageError {
    std::string message;
};

struct Interrupted {};

int usageError(const std::string& message) {
    os::writeText(os::StdStream::Err,
                  "pakforge-pack: " + message + "\nTry 'pakforge-pack --help' for more information.\n");
    return 2;
}

int failure(const std::string& message) {
    os::writeText(os::StdStream::Err, "pakforge-pack: " + message + "\n");
    return 1;
}

// Windows reports Ctrl-C on another thread and lets the work go on: it stops
// here, before anything is committed. POSIX ends the process at once.
volatile std::sig_atomic_t interrupted = 0;
void onInterrupt() {
    interrupted = 1;
}
void stopIfInterrupted() {
    if (interrupted) throw Interrupted{};
}

struct Options {
    bool compress = false;
    bool encrypt = false;
    std::optional<std::string> key;
    std::vector<std::string> positional;
};

// A wrong count says which words were taken as operands: an option's value
// given without its option, or a file name that looks like an option, shows.
std::string operandsTaken(const std::vector<std::string>& operands) {
    if (operands.empty()) return "no operands were given";
    std::string text = operands.size() == 1 ? "1 operand was given:"
                                            : std::to_string(operands.size()) + " operands were given:";
    for (const auto& operand : operands) text += " '" + operand + "'";
    return text;
}

void loadContainer(TVxStreams& streams, const std::string& file, const Options& options) {
    streams.Key = options.key ? utf8ToUtf16(*options.key) : std::u16string(kContainerKey);
    try {
        streams.LoadFromFile(pathFromUtf8(file));
    } catch (const ECorruptFile&) {
        throw Exception("\"" + file + "\" is not a readable container (" + kFileIsCorrupt +
                        (options.key ? " Check the key.)"
                                     : " If it is encrypted with another key than Pakforge's built-in one, "
                                       "give that key with --key.)"));
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
        throw UsageError{"create needs an output file and at least one NAME=FILE; " +
                         operandsTaken(options.positional)};
    if (!options.encrypt && options.key) throw UsageError{"--key given for create without --encrypt"};
    std::u16string key(kContainerKey);
    if (options.encrypt && options.key) {
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
        refuseOutputOverInput(pathFromUtf8(options.positional[0]), pathFromUtf8(pairArg.substr(eq + 1)),
                              "input");
        item.data = readWholeFile(pathFromUtf8(pairArg.substr(eq + 1)));
        sealImage(item.data, pairArg.substr(eq + 1));
        items.push_back(std::move(item));
    }
    const auto bytes = buildContainer(items, options.compress, options.encrypt ? &key : nullptr);
    PendingFile out(pathFromUtf8(options.positional[0]));
    writeWholeFile(out.tempPath(), bytes);
    stopIfInterrupted();
    out.commit();
    return 0;
}

int list(const Options& options) {
    if (options.positional.size() != 1)
        throw UsageError{"list needs exactly one container file; " + operandsTaken(options.positional)};
    TVxStreams streams;
    loadContainer(streams, options.positional[0], options);
    std::string out;
    for (const auto& info : streams.ItemInfos()) {
        char size[32];
        std::snprintf(size, sizeof size, "%12lld  ", static_cast<long long>(info.size));
        out += size + utf16ToUtf8(info.name) + "\n";
    }
    stopIfInterrupted();
    if (!os::writeText(os::StdStream::Out, out)) throw Exception("cannot write to standard output");
    return 0;
}

int extract(const Options& options) {
    if (options.positional.size() != 3)
        throw UsageError{"extract needs a container file, an item name and an output file; " +
                         operandsTaken(options.positional)};
    const std::u16string name = utf8ToUtf16(options.positional[1]);
    if (name.empty()) throw UsageError{"the item name must not be empty"};
    if (options.positional[2] != "-")
        refuseOutputOverInput(pathFromUtf8(options.positional[2]), pathFromUtf8(options.positional[0]),
                              "container");
    TVxStreams streams;
    loadContainer(streams, options.positional[0], options);
    bool found = false;
    for (const auto& info : streams.ItemInfos())
        if (sameTextIgnoreCase(info.name, name)) found = true;
    if (!found)
        return failure("no item named '" + options.positional[1] + "' in \"" + options.positional[0] + "\"");
    MemoryStream data;
    streams.GetStream(name, data);
    stopIfInterrupted();
    const auto bytes = data.bytes();
    if (options.positional[2] == "-") {
        if (!os::writeBytes(os::StdStream::Out, bytes.data(), bytes.size()))
            throw Exception("cannot write to standard output");
        return 0;
    }
    PendingFile out(pathFromUtf8(options.positional[2]));
    writeWholeFile(out.tempPath(), bytes);
    stopIfInterrupted();
    out.commit();
    return 0;
}

// CLI11's words for a value it could not take, in this tool's phrasing.
std::string parseErrorText(const CLI::ParseError& e) {
    const std::string what = e.what();
    const auto colon = what.find(": ");
    if (what.starts_with("--") && colon != std::string::npos && what.find("required") != std::string::npos)
        return "option '" + what.substr(0, colon) + "' needs a value";
    return what;
}

// The command to run, with its options and operands. Throws UsageError, or
// CLI11's requests for the help and the version.
std::string parseArguments(const std::vector<std::string>& args, Options& options) {
    if (!args.empty() && args[0] == "help") throw CLI::CallForHelp();
    // Every word after the first "--" is an operand. They are kept from
    // CLI11, which (2.1) hands them to the top level once a command has taken
    // an operand.
    const auto end = std::find(args.begin(), args.end(), "--");
    std::vector<std::string> words(args.begin(), end);
    const std::vector<std::string> afterEnd(end == args.end() ? end : end + 1, args.end());

    CLI::App app{"", "pakforge-pack"};
    // Before the commands, which take it over: a path such as /tmp/x.dat is
    // an operand, on Windows too.
    app.allow_windows_style_options(false);
    app.set_help_flag("-h,--help");
    app.set_version_flag("-V,--version", std::string("pakforge-pack ") + PAKFORGE_VERSION);
    app.require_subcommand(0, 1);
    // The options belong to the top level and reach it from within a
    // command, so that they may stand anywhere; words it does not know are
    // kept, and reported below in this tool's terms.
    app.fallthrough();
    app.allow_extras();
    std::string key;
    const CLI::Option* keyOption =
        app.add_option("--key", key)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--compress", options.compress);
    app.add_flag("--encrypt", options.encrypt);
    for (const char* name : {"create", "list", "extract"}) {
        CLI::App* command = app.add_subcommand(name);
        command->allow_extras();
        command->add_option("operands", options.positional)->allow_extra_args();
    }
    std::reverse(words.begin(), words.end()); // CLI11 takes them last first
    try {
        app.parse(words);
    } catch (const CLI::Success&) {
        throw;
    } catch (const CLI::ParseError& e) {
        throw UsageError{parseErrorText(e)};
    }
    if (keyOption->count() > 0) options.key = key;
    const auto chosen = app.get_subcommands();
    const std::string command = chosen.empty() ? std::string() : chosen.front()->get_name();
    for (const std::string& word : app.remaining(true)) {
        if (word.size() > 1 && word[0] == '-') throw UsageError{"unknown option '" + word + "'"};
        if (command.empty()) throw UsageError{"unknown command '" + word + "'"};
    }
    if (command.empty()) throw UsageError{"missing command"};
    if (command != "create" && (options.compress || options.encrypt))
        throw UsageError{std::string("option '") + (options.compress ? "--compress" : "--encrypt") +
                         "' goes only with create"};
    options.positional.insert(options.positional.end(), afterEnd.begin(), afterEnd.end());
    return command;
}

int packMain(const std::vector<std::string>& args) {
    os::catchInterrupts(onInterrupt);
    try {
        Options options;
        const std::string command = parseArguments(args, options);
        if (command == "create") return create(options);
        if (command == "list") return list(options);
        return extract(options);
    } catch (const CLI::CallForHelp&) {
        if (!os::writeText(os::StdStream::Out, kUsage)) return failure("cannot write to standard output");
        return 0;
    } catch (const CLI::CallForVersion& e) {
        if (!os::writeText(os::StdStream::Out, std::string(e.what()) + "\n"))
            return failure("cannot write to standard output");
        return 0;
    } catch (const UsageError& e) {
        return usageError(e.message);
    } catch (const Interrupted&) {
        os::writeText(os::StdStream::Err, "Interrupted\n");
        return os::kInterruptedStatus;
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
