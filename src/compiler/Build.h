// The build pipeline: package + icon + output path in, finished executable
// out. Shared by the desktop window and pakforge-cli; log lines and progress
// go through callbacks so each front end shows them its own way.
#pragma once

#include "compiler/SettingsResource.h"
#include "compiler/ZipFile.h"
#include "container/VxStreamCol.h"
#include "core/Streams.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pakforge {

inline constexpr const char* kContainerFileName = "pakforge.dat";
inline constexpr const char* kContainerEnvironment = "PAKFORGE_CONTAINER";

struct BuildRequest {
    std::filesystem::path package;
    std::filesystem::path icon; // empty or missing: the stub keeps its icon
    std::filesystem::path output;
    bool verbose = true; // governs clearing the log and every log line
    // Empty: $PAKFORGE_CONTAINER, else pakforge.dat beside the program.
    std::filesystem::path container;
    // How the package is deflated; the default gives the same bytes as
    // every earlier build.
    DeflateOptions compression;
    // Replace the stub's version block with one made from the package's
    // properties (off: the stub's own block stays).
    bool versionInfo = false;
    // What the executable does at every run besides what its user types;
    // none: no settings record, the output as before.
    BuiltInSettings settings;
    // How the package and the container are held while they are read. The
    // window keeps them to itself; a build server's builds share them,
    // keeping out only writers.
    FileStream::Share inputShare = FileStream::Share::Exclusive;
    // When set, the archive entry's time: seconds since 1970-01-01 UTC
    // (SOURCE_DATE_EPOCH), not the package's local modification time.
    std::optional<std::int64_t> entryTime;
};

// The file a build is working on at the moment, so that a front end can
// name it when a message does not.
enum class BuildStep { Container, Stub, Icon, Package, Output };

struct BuildEvents {
    std::function<void()> clearLog;
    std::function<void(BuildStep)> step;
    std::function<void(const std::string&)> statusMessage; // UTF-8
    TZipFile::ProgressEvent progress;
};

// The folder of the running executable.
std::filesystem::path programFolder();
// A data file of ours: beside the program when it is there (a build tree, a
// portable copy), else in ../share/pakforge (an installed copy). When neither
// holds it, the path beside the program, so that messages name that one.
std::filesystem::path programDataFile(const std::filesystem::path& name);
std::filesystem::path defaultContainerPath();

// The local time of day in the locale's long time format.
std::string currentTimeText();

// Refuses, before anything is written, a build that would write over one of
// its own inputs (the output is the package, the icon or the container,
// under whatever name) or read a package or icon that is no file (a FIFO
// would block, a device gives endless or no bytes).
void checkBuildInputs(const BuildRequest& request);

// Runs the build. Failures leave as exceptions carrying the user-facing
// message; the output path then holds whatever it held before.
void build(const BuildRequest& request, const BuildEvents& events = {});

} // namespace pakforge
