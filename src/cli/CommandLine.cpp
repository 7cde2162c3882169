#include "CommandLine.h"

#include "Arguments.h"
#include "HostText.h"
#include "SettingsWriter.h"
#include "compiler/ParallelDeflate.h"
#include "core/Utf16.h"
#include "pakforge/Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <memory>

namespace pakforge::cli {

namespace {

constexpr int kExitUsage = 2;

// The usage lines keep their own order; CLI11 lists the options below them.
constexpr const char* kUsage = "Usage: pakforge-cli [--force] PACKAGE ICON OUTPUT\n"
                               "  or:  pakforge-cli --info [--json] PACKAGE\n"
                               "  or:  pakforge-cli --inspect [--json] SETUP.EXE\n"
                               "  or:  pakforge-cli --extract [--force] SETUP.EXE FOLDER\n"
                               "  or:  pakforge-cli [-q] --check-updates\n";

constexpr const char* kDescription =
    "Builds OUTPUT, a Windows executable that carries the installer PACKAGE\n"
    "(.msi), with ICON (.ico) as its icon. Pass \"\" as ICON to keep the stub's\n"
    "own icon; an ICON that does not exist keeps it too, with a warning. An\n"
    "existing OUTPUT is replaced only when the build succeeds; OUTPUT may not be\n"
    "PACKAGE, ICON or the stub container under any name. PACKAGE and ICON must\n"
    "be regular files: save what comes through a pipe to a file first. Builds\n"
    "may run side by side from the same PACKAGE and container.\n"
    "\n"
    "Options may come before, between or after the file names; \"--\" ends them,\n"
    "for a file whose name starts with '-'.\n";

constexpr const char* kFooter =
    "The stub container pakforge.dat is read from the program's folder, else from\n"
    "../share/pakforge beside it, or from the file named by the environment\n"
    "variable PAKFORGE_CONTAINER. A container named so that is enciphered must\n"
    "use Pakforge's built-in key, as pakforge.dat does: one enciphered with any\n"
    "other key is refused as \"File is corrupt.\".\n"
    "--check-updates asks PAKFORGE_UPDATE_HOST (HOST or HOST:PORT) instead of the\n"
    "vendor's server when it is set, trusting the PEM certificates in the file\n"
    "PAKFORGE_UPDATE_CA besides the system's.\n"
    "\n"
    "SETTINGS (--property, --transform, --ui, --log, --norestart, --elevate) are\n"
    "built into OUTPUT and apply at every run; what the user of OUTPUT types wins\n"
    "over them. OUTPUT also takes /s, /S, /silent, /verysilent and -s as a silent\n"
    "install, and lists its built-in settings with /?. Without SETTINGS, OUTPUT\n"
    "carries none and is the same as from earlier versions.\n"
    "\n"
    "Without --level, --jobs or --fast the package is deflated as one stream at\n"
    "zlib's default level, on one thread. When both standard output and standard\n"
    "error are a terminal, a package above 16 MiB shows its progress there.\n"
    "\n"
    "When SOURCE_DATE_EPOCH is set (whole seconds since 1970-01-01 UTC), the\n"
    "package's time in the archive is that instant in UTC instead of its local\n"
    "modification time, so that builds on any machine give the same bytes.\n"
    "\n"
    "Exit status: 0 on success, 1 when the build or the reading fails, 2 on a\n"
    "usage error, 130 after an interrupt (Ctrl-C, TERM or HUP), which leaves\n"
    "OUTPUT as it was.\n";

class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
        std::string options = make_groups(app, mode);
        while (options.ends_with("\n\n")) options.pop_back();
        return std::string(kUsage) + "\n" + app->get_description() + options + "\n" + app->get_footer();
    }
    // "-q, --quiet", as GNU tools write it.
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        std::string name = Formatter::make_option_name(option, positional);
        for (std::size_t at = name.find(','); at != std::string::npos; at = name.find(',', at + 2))
            name.insert(at + 1, " ");
        return name;
    }
};

int usageError(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\n"
              << "Try '" << kProgram << " --help' for more information.\n";
    return kExitUsage;
}

// A whole number within [low, high], checked on the text as given so that
// "3x" or "-1" are named as they were typed.
CLI::Validator numberFrom(int low, int high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            int value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= low &&
                value <= high)
                return {};
            return "takes a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
                   text + "'";
        },
        "");
}

CLI::Validator uiLevel() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (stub::uiLevelOf(text)) return {};
            return "takes full, reduced, basic, passive or none, not '" + text + "'";
        },
        "");
}

void describeSettings(CLI::App& app, Options& o) {
    app.add_option("--property", o.properties,
                   "pass NAME=VALUE to msiexec at every run (repeatable); NAME\n"
                   "is a public property: A-Z, 0-9, _ and ., not starting with\n"
                   "a digit or a dot")
        ->option_text("NAME=VALUE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--transform", o.transforms,
                   "carry the transform FILE.mst and apply it at every run\n"
                   "(repeatable, applied in the order given)")
        ->option_text("FILE.mst")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--ui", o.ui,
                   "the user interface when the user gives none: full (/qf),\n"
                   "reduced (/qr), basic (/qb), passive (/passive) or none (/qn)")
        ->option_text("LEVEL")
        ->check(uiLevel())
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--log", o.log,
                 "write a verbose log (/l*v) named after the product and its\n"
                 "version to the user's temporary folder, unless the user\n"
                 "asks for a log");
    app.add_flag("--norestart", o.noRestart, "pass /norestart unless the user gives a restart option");
    app.add_flag("--elevate", o.elevate,
                 "ask for administrator rights when OUTPUT starts\n"
                 "(requireAdministrator in its manifest)");
}

void describe(CLI::App& app, Options& o) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.get_formatter()->column_width(18);
    // "/tmp/app.msi" is a path, not an option, on Windows too.
    app.allow_windows_style_options(false);
    app.description(kDescription);
    app.footer(kFooter);
    // "--force=no" would otherwise quietly mean no --force.
    app.option_defaults()->disable_flag_override();

    app.add_flag("--force", o.force, "build even when PACKAGE is not a Windows Installer package");
    app.add_option("--level", o.level, "deflate at zlib level N (0 stores, 9 compresses most)")
        ->option_text("N")
        ->check(numberFrom(0, 9))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--jobs", o.jobs,
                   "compress on N threads (default: one per processor); the\n"
                   "output is the same whatever N")
        ->option_text("N")
        ->check(numberFrom(1, kMaxDeflateJobs))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--fast", o.fast,
                 "store what does not compress, deflate the rest at level 1\n"
                 "(or --level N); fastest for packages of compressed files");
    app.add_flag("--info", o.info,
                 "print PACKAGE's product name, version and manufacturer\ninstead of building");
    app.add_flag("--json", o.json,
                 "with --info: print them as one JSON object with the keys\n"
                 "ProductName, ProductVersion and Manufacturer; with\n"
                 "--inspect: print the report as one JSON object");
    app.add_flag("--inspect", o.inspect,
                 "look into SETUP.EXE, an executable Pakforge built: stub,\n"
                 "icon, manifest, settings, archive, package, checksum and\n"
                 "signature; exit 1 naming the first damaged or missing part");
    app.add_flag("--extract", o.extract,
                 "write the package SETUP.EXE carries into FOLDER, checked\n"
                 "(with --force it replaces a file of that name)");
    app.add_flag("--version-info", o.versionInfo,
                 "give OUTPUT a version resource made from the package's\n"
                 "ProductName, ProductVersion and Manufacturer");
    describeSettings(app, o);
    app.add_flag("-q,--quiet", o.quiet,
                 "print nothing but warnings and errors (--info still prints\n"
                 "the properties: they are all it prints)");
    app.add_flag("--check-updates", o.checkUpdates,
                 "ask the vendor's server whether a newer version exists\n"
                 "(exit 0 when it could tell, 1 when it could not)");
    // Set last so that they close the list.
    app.set_help_flag("-h,--help", "show this help and exit");
    app.set_version_flag("-V,--version", std::string(kProgram) + " " + PAKFORGE_VERSION,
                         "show the version and exit");
    // Named in the usage lines, not listed.
    app.add_option("operands", o.operands)->group("");
}

// "2 arguments: 'a', ''": a script's author sees how the shell split them.
std::string operandsText(const std::vector<std::string>& operands) {
    constexpr std::size_t kShown = 10;
    std::string text = std::to_string(operands.size()) + (operands.size() == 1 ? " argument" : " arguments");
    for (std::size_t i = 0; i < operands.size() && i < kShown; ++i)
        text += (i == 0 ? ": '" : ", '") + operands[i] + "'";
    if (operands.size() > kShown) text += ", ...";
    return text;
}

std::wstring wide(const std::string& utf8) {
    std::wstring text;
    for (const char16_t unit : utf8ToUtf16(utf8)) text.push_back(static_cast<wchar_t>(unit));
    return text;
}

stub::Utf16View viewOf(const std::u16string& text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return stub::Utf16View{bytes.data(), static_cast<std::uint32_t>(text.size())};
}

// The rules the stub applies to what its user types, and those of the
// record, for each --property.
std::string propertyMisuse(const std::string& given, std::vector<std::u16string>& names) {
    const std::string shown = "--property '" + given + "'";
    const auto equals = given.find('=');
    // As the stub will pass it: the value quoted.
    const std::wstring asPassed = equals == std::string::npos ? wide(given)
                                                              : wide(given.substr(0, equals + 1)) + L"\"" +
                                                                    wide(given.substr(equals + 1)) + L"\"";
    stub::HostText checked;
    stub::HostText refused;
    if (stub::checkPassedArguments(asPassed.c_str(), checked, refused) && equals == std::string::npos)
        return shown + ": the installer refuses \"" + given +
               "\", which names another package or action; only NAME=VALUE can be built in";
    if (equals == std::string::npos) return shown + " is not NAME=VALUE";
    const std::u16string name = utf8ToUtf16(given.substr(0, equals));
    const std::u16string value = utf8ToUtf16(given.substr(equals + 1));
    std::vector<std::uint8_t> bytes;
    if (name.size() > stub::kMaxPropertyNameUnits || !stub::isPublicPropertyName(viewOf(name, bytes)))
        return shown + ": the name must be a public property: upper-case letters A-Z, digits, '_' and '.', "
                       "starting with a letter or '_', at most 64 characters";
    if (value.size() > stub::kMaxPropertyValueUnits || value.find(u'\0') != std::u16string::npos)
        return shown + ": the value is longer than 32767 characters";
    for (const auto& earlier : names)
        if (sameTextIgnoreCase(earlier, name)) return shown + ": " + utf16ToUtf8(name) + " is given twice";
    names.push_back(name);
    return {};
}

std::string transformMisuse(const std::string& given, std::vector<std::u16string>& names) {
    const std::u16string name = pathToUtf16(pathFromUtf8(given).filename());
    std::vector<std::uint8_t> bytes;
    if (name.size() > stub::kMaxFileNameUnits || !stub::isBareFileName(viewOf(name, bytes)))
        return "--transform '" + given + "': its file name cannot be used on Windows as it stands";
    for (const auto& earlier : names)
        if (sameTextIgnoreCase(earlier, name))
            return "--transform '" + given + "': the package or another transform is named " +
                   utf16ToUtf8(name) + " too";
    names.push_back(name);
    return {};
}

std::string settingsMisuse(const Options& o) {
    if (o.properties.size() > stub::kMaxProperties) return "at most 256 --property options";
    if (o.transforms.size() > stub::kMaxTransforms) return "at most 16 --transform options";
    std::vector<std::u16string> names;
    for (const auto& property : o.properties)
        if (auto misuse = propertyMisuse(property, names); !misuse.empty()) return misuse;
    if (!o.transforms.empty() && std::any_of(names.begin(), names.end(), [](const std::u16string& name) {
            return name == u"TRANSFORMS";
        }))
        return "--property TRANSFORMS=... and --transform exclude each other";
    // Written beside the package, so never under its name.
    std::vector<std::u16string> transformNames;
    if (!o.operands.empty()) transformNames.push_back(pathToUtf16(pathFromUtf8(o.operands[0]).filename()));
    for (const auto& transform : o.transforms)
        if (auto misuse = transformMisuse(transform, transformNames); !misuse.empty()) return misuse;
    return {};
}

// The combinations that mean nothing are refused rather than ignored.
std::string misuseOf(const Options& o) {
    if (int(o.info) + int(o.checkUpdates) + int(o.inspect) + int(o.extract) > 1)
        return "--info, --inspect, --extract and --check-updates exclude each other";
    if (o.json && !o.info && !o.inspect) return "--json goes only with --info or --inspect";
    if (!o.building() && o.versionInfo) return "--version-info goes only with a build";
    if (!o.building() && o.hasSettings())
        return "--property, --transform, --ui, --log, --norestart and --elevate go only with a build";
    if (auto misuse = settingsMisuse(o); !misuse.empty()) return misuse;
    if (!o.building() && (o.fast || o.level >= 0 || o.jobs > 0))
        return "--level, --jobs and --fast go only with a build";
    if (!o.building() && !o.extract && o.force) return "--force goes only with a build or --extract";
    if (o.inspect && o.operands.size() != 1)
        return "--inspect takes exactly one SETUP.EXE, got " + operandsText(o.operands);
    if (o.extract && o.operands.size() != 2)
        return "--extract takes SETUP.EXE and FOLDER, got " + operandsText(o.operands);
    if (o.info && o.operands.size() != 1)
        return "--info takes exactly one PACKAGE, got " + operandsText(o.operands);
    if (o.checkUpdates && !o.operands.empty())
        return "--check-updates takes no arguments, got " + operandsText(o.operands);
    if (o.building() && o.operands.size() != 3)
        return "expected PACKAGE ICON OUTPUT, got " + operandsText(o.operands);
    if (o.building() && o.operands[2].empty()) return "OUTPUT must not be empty";
    return {};
}

// CLI11 words a missing value by its type (ours are numbers) and a flag
// given a value by its bare name.
std::string mismatchText(const CLI::ArgumentMismatch& e) {
    const std::string text = e.what();
    const std::string option = text.substr(0, text.find(':'));
    if ((option == "--level" || option == "--jobs") && text.ends_with("missing"))
        return option + " needs a number";
    if (text.ends_with(" was given a disallowed flag override"))
        return "--" + text.substr(0, text.find(' ')) + " takes no value";
    return text;
}

} // namespace

std::optional<int> parseCommandLine(const std::vector<std::string>& args, Options& options) {
    CLI::App app{"", kProgram};
    describe(app, options);
    // CLI11 takes a vector last argument first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ArgumentMismatch& e) {
        return usageError(mismatchText(e));
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (const auto misuse = misuseOf(options); !misuse.empty()) return usageError(misuse);
    return std::nullopt;
}

} // namespace pakforge::cli
