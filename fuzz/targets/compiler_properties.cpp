// Package properties from arbitrary bytes: whatever the file holds, reading
// it must neither crash nor hang, and a failed open changes nothing.
#include "compiler/PackageProperties.h"
#include "core/Utf16.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("pakforge-fuzz-" + std::to_string(::getpid()) + ".msi"))
            .string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);

    pakforge::PackageProperties props;
    props.GetMSIProperty(pakforge::pathToUtf16(path));
    if (props.labels.nameLabel.rfind(u"Product Name: ", 0) != 0) __builtin_trap();
    std::remove(path.c_str());
    return 0;
}
