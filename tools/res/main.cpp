// pakforge-res: inspects and edits the resources of a PE file with the
// resource library the build uses: list, extract one, set the MAINICON group
// from an .ico (the build's icon step), rewrite all.
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/SystemConsole.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceGraphics.h"
#include "resources/unitResourceVersionInfo.h"

#include <pakforge/Version.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
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
    "                                     TYPE and NAME as 'list' prints them, in any case,\n"
    "                                     LANG decimal or 0x hex\n"
    "  set-icon FILE ICO                  add a new icon group MAINICON (language 0) filled\n"
    "                                     from the .ico file, then write all resources back\n"
    "  rewrite FILE                       read all resources and write them all back\n"
    "\n"
    "Options may come before, between or after the arguments; '--' ends them.\n"
    "\n"
    "Options:\n"
    "  -h, --help                         show this help and exit\n"
    "  -V, --version                      show the version and exit\n"
    "\n"
    "Numeric types and names are decimal (14 is an icon group, 3 an icon image);\n"
    "types and names are compared without regard to case, as Windows compares them.\n"
    "A failed change leaves FILE as it was. Exit status: 0 on success, 1 on failure,\n"
    "2 on wrong usage, 130 when interrupted.\n";

class Interrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "Interrupted"; }
};

// Windows reports Ctrl-C on another thread and lets the work go on: it stops
// here, before a file is changed. POSIX ends the process at once.
volatile std::sig_atomic_t interrupted = 0;
void onInterrupt() {
    interrupted = 1;
}
void stopIfInterrupted() {
    if (interrupted) throw Interrupted();
}

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
    stopIfInterrupted();
    if (!os::writeBytes(os::StdStream::Out, bytes.data(), bytes.size()))
        throw Exception("cannot write to standard output");
}

void writeStdout(std::string_view text) {
    stopIfInterrupted();
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
    stopIfInterrupted();
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
    if (out != "-") refuseOutputOverInput(pathFromUtf8(out), file, "executable");
    TNTModule module;
    loadModule(module, file);
    const std::u16string wantedType = utf8ToUtf16(type);
    const std::u16string wantedName = utf8ToUtf16(name);
    const TResourceDetails* found = nullptr;
    for (std::int32_t i = 0; i < module.GetResourceCount(); ++i) {
        const TResourceDetails* d = module.GetResourceDetails(i);
        if (sameTextIgnoreCase(d->ResourceType, wantedType) &&
            sameTextIgnoreCase(d->ResourceName(), wantedName) && d->ResourceLanguage == language)
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
    stopIfInterrupted();
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

void expectArgs(const std::string& command, const std::vector<std::string>& operands, std::size_t count,
                const char* synopsis) {
    if (operands.size() == count) return;
    std::string taken = operands.empty() ? std::string("none was given") : "got";
    for (const auto& operand : operands) taken += " '" + operand + "'";
    throw UsageError("'" + command + "' takes " + std::to_string(count) + " argument" +
                     (count == 1 ? "" : "s") + ": pakforge-res " + synopsis + "; " + taken);
}

int run(const std::vector<std::string>& args) {
    // Every word after the first "--" is an argument. They are kept from
    // CLI11, which (2.1) hands them to the top level once a command has taken
    // an argument.
    const auto end = std::find(args.begin(), args.end(), "--");
    std::vector<std::string> words(args.begin(), end);
    const std::vector<std::string> afterEnd(end == args.end() ? end : end + 1, args.end());

    CLI::App app{"", "pakforge-res"};
    // Before the commands, which take it over: a path such as /tmp/x.dat is
    // an operand, on Windows too.
    app.allow_windows_style_options(false);
    app.set_help_flag("-h,--help");
    app.set_version_flag("-V,--version", std::string("pakforge-res ") + PAKFORGE_VERSION);
    app.require_subcommand(0, 1);
    // -h and -V also after a command; words it does not know are kept, and
    // reported below in this tool's terms.
    app.fallthrough();
    app.allow_extras();
    std::vector<std::string> operands;
    for (const char* name : {"list", "extract", "set-icon", "rewrite"}) {
        CLI::App* command = app.add_subcommand(name);
        command->allow_extras();
        command->add_option("arguments", operands)->allow_extra_args();
    }
    std::reverse(words.begin(), words.end()); // CLI11 takes them last first
    try {
        app.parse(words);
    } catch (const CLI::CallForHelp&) {
        writeStdout(kUsage);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        writeStdout(std::string(e.what()) + "\n");
        return 0;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    const auto chosen = app.get_subcommands();
    const std::string command = chosen.empty() ? std::string() : chosen.front()->get_name();
    for (const std::string& word : app.remaining(true)) {
        if (word.size() > 1 && word[0] == '-') throw UsageError("unknown option '" + word + "'");
        if (command.empty()) throw UsageError("unknown command '" + word + "'");
    }
    if (command.empty())
        throw UsageError(afterEnd.empty() ? "no command given" : "no command given before '--'");
    operands.insert(operands.end(), afterEnd.begin(), afterEnd.end());

    if (command == "list") {
        expectArgs(command, operands, 1, "list FILE");
        return listCommand(pathFromUtf8(operands[0]));
    }
    if (command == "extract") {
        expectArgs(command, operands, 5, "extract FILE TYPE NAME LANG OUT");
        return extractCommand(pathFromUtf8(operands[0]), operands[1], operands[2], operands[3], operands[4]);
    }
    if (command == "set-icon") {
        expectArgs(command, operands, 2, "set-icon FILE ICO");
        return setIconCommand(pathFromUtf8(operands[0]), pathFromUtf8(operands[1]));
    }
    expectArgs(command, operands, 1, "rewrite FILE");
    return rewriteCommand(pathFromUtf8(operands[0]));
}

} // namespace

namespace {

int resMain(const std::vector<std::string>& args) {
    // The resource classes, in their start-up order.
    pakforge::InitResourceVersionInfo();
    os::catchInterrupts(onInterrupt);
    try {
        return run(args);
    } catch (const Interrupted& e) {
        os::writeText(os::StdStream::Err, std::string(e.what()) + "\n");
        return os::kInterruptedStatus;
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
