// pakforge-res: inspects and edits the resources of a PE file with the
// resource library the build uses: list, extract one, set the MAINICON group
// from an .ico (the build's icon step), rewrite all.
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceGraphics.h"
#include "platform/SystemConsole.h"
#include "resources/unitResourceVersionInfo.h"

#include <pakforge/Version.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace pakforge;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: pakforge-res COMMAND ARGUMENTS...\n"
    "Inspect and edit the resources of a Windows PE file (.exe, .dll).\n"
    "\n"
    "Commands:\n"
    "  list FILE                          one line per resource: type, name, language,\n"
    "                                     size in bytes and details class, tab-separated\n"
    "  extract FILE TYPE NAME LANG OUT    write one resource's bytes to OUT ('-' for stdout);\n"
    "                                     TYPE and NAME as 'list' prints them, LANG decimal or 0x hex\n"
    "  set-icon FILE ICO                  add a new icon group MAINICON (language 0) filled\n"
    "                                     from the .ico file, then write all resources back\n"
    "  rewrite FILE                       read all resources and write them all back\n"
    "\n"
    "Options:\n"
    "  -h, --help                         show this help and exit\n"
    "  --version                          show the version and exit\n"
    "\n"
    "Numeric types and names are decimal (14 is an icon group, 3 an icon image).\n"
    "A failed change leaves FILE as it was. Exit status: 0 on success, 1 on failure,\n"
    "2 on wrong usage.\n";

class UsageError : public std::exception {
  public:
    explicit UsageError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Output that cannot be written (a full disk, a closed pipe) is a failure,
// not a silent success.
void writeStdout(std::span<const std::uint8_t> bytes) {
    if (!os::writeBytes(os::StdStream::Out, bytes.data(), bytes.size()))
        throw Exception("cannot write to standard output");
}

void writeStdout(std::string_view text) {
    if (!os::writeText(os::StdStream::Out, text)) throw Exception("cannot write to standard output");
}

std::string text(const std::u16string& value) {
    return utf16ToUtf8(value);
}

void loadModule(TNTModule& module, const std::filesystem::path& file) {
    try {
        module.LoadFromFile(file);
    } catch (const Exception& e) {
        throw Exception("cannot read the resources of \"" + pathToUtf8(file) + "\": " + e.message());
    }
}

void saveModule(TNTModule& module, const std::filesystem::path& file) {
    try {
        module.SaveToFile(file);
    } catch (const Exception& e) {
        throw Exception("cannot write the resources of \"" + pathToUtf8(file) +
                        "\" (the file is unchanged): " + e.message());
    }
}

int listCommand(const std::filesystem::path& file) {
    TNTModule module;
    loadModule(module, file);
    std::string out;
    for (std::int32_t i = 0; i < module.GetResourceCount(); ++i) {
        const TResourceDetails* d = module.GetResourceDetails(i);
        out += text(d->ResourceType) + '\t' + text(d->ResourceName()) + '\t' +
               std::to_string(d->ResourceLanguage) + '\t' + std::to_string(d->Data().bytes().size()) + '\t' +
               d->ClassName() + '\n';
    }
    writeStdout(out);
    return 0;
}

std::int32_t parseLanguage(const std::string& arg) {
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(arg, &used, arg.rfind("0x", 0) == 0 || arg.rfind("0X", 0) == 0 ? 16 : 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (arg.empty() || used != arg.size() || arg[0] == '-' || arg[0] == '+' || value > 0xFFFF)
        throw UsageError("language must be a number from 0 to 65535 (decimal or 0x hex), not \"" + arg +
                         "\"");
    return static_cast<std::int32_t>(value);
}

int extractCommand(const std::filesystem::path& file, const std::string& type, const std::string& name,
                   const std::string& languageArg, const std::string& out) {
    const std::int32_t language = parseLanguage(languageArg);
    TNTModule module;
    loadModule(module, file);
    const std::u16string wantedType = utf8ToUtf16(type);
    const std::u16string wantedName = utf8ToUtf16(name);
    const TResourceDetails* found = nullptr;
    for (std::int32_t i = 0; i < module.GetResourceCount(); ++i) {
        const TResourceDetails* d = module.GetResourceDetails(i);
        if (d->ResourceType == wantedType && d->ResourceName() == wantedName &&
            d->ResourceLanguage == language)
            found = d; // the last of an identity is the one a save keeps
    }
    if (!found)
        throw Exception("\"" + pathToUtf8(file) + "\" has no resource of type " + type + ", name " + name +
                        " and language " + std::to_string(language) + " (see 'pakforge-res list')");
    const auto bytes = found->Data().bytes();
    if (out == "-") {
        writeStdout(bytes);
        return 0;
    }
    PendingFile pending(pathFromUtf8(out));
    writeWholeFile(pending.tempPath(), bytes);
    pending.commit();
    return 0;
}

int setIconCommand(const std::filesystem::path& file, const std::filesystem::path& icon) {
    if (!std::filesystem::is_regular_file(icon))
        throw Exception("icon file \"" + pathToUtf8(icon) + "\" not found");
    TNTModule module;
    loadModule(module, file);
    auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
    group->Dirty = true;
    try {
        group->LoadFromIconFile(icon);
    } catch (const Exception& e) {
        throw Exception("cannot use \"" + pathToUtf8(icon) + "\" as an icon (" + pathToUtf8(file) +
                        " is unchanged): " + e.message());
    }
    saveModule(module, file);
    return 0;
}

int rewriteCommand(const std::filesystem::path& file) {
    TNTModule module;
    loadModule(module, file);
    saveModule(module, file);
    return 0;
}

void expectArgs(const std::vector<std::string>& args, std::size_t count, const char* synopsis) {
    if (args.size() != count + 1)
        throw UsageError(std::string("'") + args[0] + "' takes " + std::to_string(count) + " argument" +
                         (count == 1 ? "" : "s") + ": pakforge-res " + synopsis);
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given");
    const std::string& command = args[0];
    if (command == "-h" || command == "--help") {
        writeStdout(kUsage);
        return 0;
    }
    if (command == "--version") {
        writeStdout(std::string("pakforge-res ") + PAKFORGE_VERSION + "\n");
        return 0;
    }
    if (command == "list") {
        expectArgs(args, 1, "list FILE");
        return listCommand(pathFromUtf8(args[1]));
    }
    if (command == "extract") {
        expectArgs(args, 5, "extract FILE TYPE NAME LANG OUT");
        return extractCommand(pathFromUtf8(args[1]), args[2], args[3], args[4], args[5]);
    }
    if (command == "set-icon") {
        expectArgs(args, 2, "set-icon FILE ICO");
        return setIconCommand(pathFromUtf8(args[1]), pathFromUtf8(args[2]));
    }
    if (command == "rewrite") {
        expectArgs(args, 1, "rewrite FILE");
        return rewriteCommand(pathFromUtf8(args[1]));
    }
    throw UsageError("unknown command '" + command + "'");
}

} // namespace

namespace {

int resMain(const std::vector<std::string>& args) {
    // The resource classes, in their start-up order.
    pakforge::InitResourceVersionInfo();
    try {
        return run(args);
    } catch (const UsageError& e) {
        os::writeText(os::StdStream::Err, std::string("pakforge-res: ") + e.what() +
                                              "\nTry 'pakforge-res --help' for more information.\n");
        return kExitUsage;
    } catch (const std::exception& e) {
        os::writeText(os::StdStream::Err, std::string("pakforge-res: ") + e.what() + "\n");
        return kExitFailure;
    }
}

} // namespace

PAKFORGE_MAIN(resMain)
