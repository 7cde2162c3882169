// The stub's settings record. Properties: a record the parser accepts is
// written back to exactly its bytes, and its arguments merged with a user's
// line form a command line that the stub's own argument check accepts.
#include "Arguments.h"
#include "HostText.h"
#include "SettingsWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stub::Settings settings;
    if (!stub::parseSettings(data, size, settings)) return 0;
    const auto record = stub::readSettings({data, size});
    if (!record) __builtin_trap();
    const auto again = stub::writeSettings(*record);
    if (again.size() != size || !std::equal(again.begin(), again.end(), data)) __builtin_trap();

    const stub::BuiltIn builtIn{&settings, L"C:\\Temp\\setup.log", L"C:\\W\\a.mst"};
    stub::HostText merged;
    stub::HostText refused;
    if (stub::mergeArguments(L"/s A=1 /l*v x.log", builtIn, merged, refused)) __builtin_trap();
    stub::HostText checked;
    if (stub::checkPassedArguments(merged.c_str(), checked, refused)) __builtin_trap();
    return 0;
}
