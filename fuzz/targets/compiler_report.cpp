// --inspect over arbitrary bytes: whatever the file holds, the report is
// made without a crash or a hang, and a report without a fault has an
// archive that was read through.
#include "compiler/ExecutableReport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("pakforge-fuzz-" + std::to_string(::getpid()) + ".exe"))
            .string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);

    // Given a container (PAKFORGE_CONTAINER) mutants of a good executable
    // can pass; without one, a report always names a fault.
    static const char* container = std::getenv("PAKFORGE_CONTAINER");
    const auto report =
        pakforge::inspectExecutable(path, container ? container : "/nonexistent/pakforge.dat");
    const bool whole = report.archive && report.archive->checked && report.package.size() == 5 &&
                       report.stubIsOurs.value_or(false);
    if (report.fault.empty() && !whole) __builtin_trap();
    (void)pakforge::reportJson(report);
    (void)pakforge::reportText(report);
    std::remove(path.c_str());
    return 0;
}
