#include "BenchSupport.h"

#include "compiler/Build.h"
#include "container/VxStreamWriter.h"
#include "core/Streams.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace pakforge::bench {

namespace fs = std::filesystem;

fs::path workDir(const std::string& defaultName) {
    const char* env = std::getenv("PAKFORGE_BENCH_DIR");
    fs::path dir = env && *env ? fs::path(env) : fs::temp_directory_path() / defaultName;
    fs::create_directories(dir);
    return dir;
}

void mustRun(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

fs::path container(const fs::path& dir) {
    const fs::path dat = dir / "pakforge.dat";
    if (fs::exists(dat)) return dat;
    const fs::path stub = dir / "stub";
    fs::create_directories(stub);
    std::ofstream(stub / "stub.cpp")
        << "#include <windows.h>\n"
           "int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }\n";
    mustRun("cd " + quote(stub.string()) +
            " && i686-w64-mingw32-g++ -O2 -s -mwindows -static stub.cpp -o stub.exe");
    const auto exe = readWholeFile(stub / "stub.exe");
    const std::vector<ContainerItem> items{{u"exe", exe}};
    const std::u16string key(kContainerKey);
    writeWholeFile(dat, buildContainer(items, true, &key));
    return dat;
}

} // namespace pakforge::bench
