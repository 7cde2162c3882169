// The Windows stub: finds the installer package appended to its own file,
// unpacks it into a private folder and hands it to Windows Installer.
#include <windows.h>

#include "Archive.h"
#include "CommandLine.h"
#include "Embedded.h"
#include "Files.h"
#include "Jobs.h"
#include "Messages.h"
#include "Paths.h"
#include "System.h"

namespace stub {
namespace {

// Whether the file read through `source` is the image that is running: its
// headers, as the loader mapped them, must be the file's first bytes. The
// loader rewrites only ImageBase there when it moves the image.
bool isRunningImage(Source& source) {
    const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
    const DWORD length = nt->OptionalHeader.SizeOfHeaders;
    const DWORD imageBase = static_cast<DWORD>(dos->e_lfanew) + 4 + sizeof(IMAGE_FILE_HEADER) +
                            offsetof(IMAGE_OPTIONAL_HEADER32, ImageBase);
    if (length < imageBase + 4 || length > 64 * 1024 || source.size() < length) return false;
    auto* file = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, length));
    if (!file) return false;
    bool same = source.readAt(0, file, length);
    for (DWORD i = 0; same && i < length; ++i)
        if ((i < imageBase || i >= imageBase + 4) && file[i] != image[i]) same = false;
    HeapFree(GetProcessHeap(), 0, file);
    return same;
}

DWORD run() {
    // The file is opened before anything else is done and read only through
    // this handle, which denies writers; its headers are compared with the
    // running image's below, in case it was replaced in the moment before.
    WText self;
    if (!modulePath(self)) return failDamaged();
    WText extendedSelf;
    extendedPath(self, extendedSelf);
    Handle own(CreateFileW(extendedSelf.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    gTitle = fileNamePart(self.c_str());

    Request request;
    if (const DWORD refused = readCommandLine(request)) return refused;
    // Before anything runs: damaged settings or transforms stop here.
    const Settings* settings = nullptr;
    if (const DWORD damaged = loadSettings(settings)) return damaged;
    applyBuiltInQuiet(settings, request);
    if (request.job == Job::Help) {
        showUsage(settings);
        return 0;
    }

    LARGE_INTEGER size;
    if (!own.valid() || !GetFileSizeEx(own.get(), &size)) return failDamaged();
    FileSource source(own.get(), static_cast<uint64_t>(size.QuadPart));
    static Entry entry;
    if (!isRunningImage(source) || !locateEntry(source, entry)) return failDamaged();

    if (request.job == Job::Extract) return extractPackage(source, entry, request, settings);
    return installPackage(source, entry, request, settings);
}

DWORD start() {
    const DWORD error = restrictDllSearch();
    if (error) {
        // Nothing may be loaded, so not even a message box: the code says it.
        return error;
    }
    return run();
}

} // namespace
} // namespace stub

// No C runtime: the process starts here and ends with ExitProcess.
extern "C" void __cdecl stubEntry() {
    ExitProcess(stub::start());
}
