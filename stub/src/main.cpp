// The Windows stub: finds the installer package appended to its own file,
// unpacks it into a private folder and hands it to Windows Installer.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>
#include <zlib.h>

#include "Archive.h"
#include "Text.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length); // RtlGenRandom

namespace stub {
namespace {

// Windows Installer's own codes, so scripts read them like msiexec's.
constexpr DWORD kExitServiceFailure = 1601; // ERROR_INSTALL_SERVICE_FAILURE
constexpr DWORD kExitPackageInvalid = 1620; // ERROR_INSTALL_PACKAGE_INVALID
constexpr DWORD kExitTempUnwritable = 1632; // ERROR_INSTALL_TEMP_UNWRITABLE
constexpr DWORD kExitBadCommandLine = 1639; // ERROR_INVALID_COMMAND_LINE

constexpr wchar_t kFallbackName[] = L"package.msi";

bool gQuiet = false;
WText gTitle;

// Before anything can load a DLL: only System32 is searched, never the
// folder the download sits in. Looked up at run time for systems without it.
void restrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (proc) {
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(proc))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        SetDllDirectoryW(L""); // at least drops the current folder
    }
}

void appendSystemMessage(WText& text, DWORD code) {
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n > 0 && message) {
        DWORD length = n;
        while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' ||
                              message[length - 1] == L' ' || message[length - 1] == L'.'))
            --length;
        text.append(message, length);
    } else {
        text.append(L"System error");
    }
    if (message) LocalFree(message);
    text.append(L" (code ").appendNumber(code).append(L").");
}

void showMessage(const WText& text, UINT icon) {
    if (gQuiet) return;
    MessageBoxW(nullptr, text.c_str(), gTitle.empty() ? L"Installer" : gTitle.c_str(),
                MB_OK | MB_SETFOREGROUND | icon);
}

DWORD failDamaged() {
    showMessage(WText(L"This installer is damaged: the installation package inside it is missing or "
                      L"incomplete.\n\nPlease download the installer again."),
                MB_ICONERROR);
    return kExitPackageInvalid;
}

// ---- paths -------------------------------------------------------------

bool modulePath(WText& out) {
    for (DWORD capacity = MAX_PATH; capacity <= 32768 * 2; capacity *= 2) {
        out.reserve(capacity);
        const DWORD n = GetModuleFileNameW(nullptr, out.data(), capacity);
        if (n == 0) return false;
        if (n < capacity) {
            out.setLengthFromTerminator();
            return true;
        }
    }
    return false;
}

bool fullPath(const wchar_t* path, WText& out) {
    out.clear();
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) return false;
    out.reserve(needed);
    const DWORD n = GetFullPathNameW(path, needed, out.data(), nullptr);
    if (n == 0 || n >= needed) return false;
    out.setLengthFromTerminator();
    return true;
}

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
    while (*prefix)
        if (*text++ != *prefix++) return false;
    return true;
}

// The form every file call gets, so that paths past MAX_PATH work.
void extendedPath(const WText& full, WText& out) {
    out.clear();
    if (startsWith(full.c_str(), L"\\\\?\\") || startsWith(full.c_str(), L"\\\\.\\")) {
        out.append(full);
    } else if (startsWith(full.c_str(), L"\\\\")) {
        out.append(L"\\\\?\\UNC\\").append(full.c_str() + 2);
    } else {
        out.append(L"\\\\?\\").append(full);
    }
}

void joinPath(const WText& folder, const wchar_t* name, WText& out) {
    out.clear();
    out.append(folder);
    if (!out.empty() && out[out.size() - 1] != L'\\') out.append(L'\\');
    out.append(name);
}

const wchar_t* fileNamePart(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
    return name;
}

// Creates the folder and any missing parents; an existing folder is fine.
bool createFolders(const WText& full) {
    WText extended;
    extendedPath(full, extended);
    if (CreateDirectoryW(extended.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(extended.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    if (error != ERROR_PATH_NOT_FOUND) return false;
    size_t cut = full.size();
    while (cut > 0 && full[cut - 1] == L'\\') --cut;
    while (cut > 0 && full[cut - 1] != L'\\') --cut;
    if (cut <= 3) return false; // reached the root
    WText parent;
    parent.append(full.c_str(), cut - 1);
    if (!createFolders(parent)) return false;
    if (CreateDirectoryW(extended.c_str(), nullptr)) return true;
    return false;
}

void randomHex(wchar_t* out, int bytes) {
    BYTE buffer[16] = {};
    if (!SystemFunction036(buffer, static_cast<ULONG>(bytes))) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        DWORD mix = counter.LowPart ^ GetCurrentProcessId() ^ (GetTickCount() << 16);
        for (int i = 0; i < bytes; ++i) {
            mix = mix * 1103515245u + 12345u;
            buffer[i] = static_cast<BYTE>(mix >> 16);
        }
    }
    static const wchar_t digits[] = L"0123456789abcdef";
    for (int i = 0; i < bytes; ++i) {
        out[2 * i] = digits[buffer[i] >> 4];
        out[2 * i + 1] = digits[buffer[i] & 15];
    }
    out[2 * bytes] = 0;
}

// A path for messages and for msiexec's command line: the plain form when
// it is short enough for every program.
const WText& displayPath(const WText& full, const WText& extended) {
    return full.size() < MAX_PATH ? full : extended;
}

// ---- command line -------------------------------------------------------

const wchar_t* skipProgramName(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// One argument, split by the C runtime's rules; false at the end.
bool nextArgument(const wchar_t*& p, WText& out) {
    out.clear();
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) return false;
    bool quoted = false;
    while (*p) {
        if (!quoted && (*p == L' ' || *p == L'\t')) break;
        if (*p == L'\\') {
            size_t count = 0;
            while (*p == L'\\') {
                ++count;
                ++p;
            }
            if (*p == L'"') {
                for (size_t i = 0; i < count / 2; ++i) out.append(L'\\');
                if (count % 2) {
                    out.append(L'"');
                    ++p;
                }
            } else {
                for (size_t i = 0; i < count; ++i) out.append(L'\\');
            }
            continue;
        }
        if (*p == L'"') {
            if (quoted && p[1] == L'"') {
                out.append(L'"');
                p += 2;
                continue;
            }
            quoted = !quoted;
            ++p;
            continue;
        }
        out.append(*p++);
    }
    return true;
}

wchar_t lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool isSwitch(const WText& arg, const wchar_t* name) {
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return false;
    const wchar_t* p = arg.c_str() + 1;
    if (arg[0] == L'-' && *p == L'-') ++p; // --help
    while (*name)
        if (lower(*p++) != *name++) return false;
    return *p == 0;
}

// msiexec's unattended user-interface levels: /q, /qn, /qb, /qr with their
// +, - and ! modifiers, /quiet and /passive. Only /qf (full UI) is left out.
bool isUnattendedSwitch(const WText& arg) {
    if (isSwitch(arg, L"quiet") || isSwitch(arg, L"passive")) return true;
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-') || lower(arg[1]) != L'q') return false;
    size_t i = 2;
    if (i < arg.size()) {
        const wchar_t level = lower(arg[i]);
        if (level != L'n' && level != L'b' && level != L'r') return false;
        ++i;
    }
    for (; i < arg.size(); ++i)
        if (arg[i] != L'+' && arg[i] != L'-' && arg[i] != L'!') return false;
    return true;
}

void showUsage() {
    WText text;
    text.append(L"Installs the Windows Installer package contained in this file.\n\n");
    text.append(gTitle).append(L" [msiexec options]\n");
    text.append(L"    Runs msiexec /i on the package. The options are passed to msiexec as they "
                L"stand, for example /qn, /passive, /norestart, /l*v install.log or "
                L"PROPERTY=value.\n\n");
    text.append(gTitle).append(L" /extract [folder] [/qn]\n");
    text.append(L"    Saves the package in the folder (default: the current folder) and installs "
                L"nothing.\n\n");
    text.append(gTitle).append(L" /?\n    Shows this help.\n\n");
    text.append(L"The exit code is msiexec's (0 success, 1602 cancelled, 1603 failed, 3010 restart "
                L"needed). 1620: the package inside this file is damaged. Messages are not shown "
                L"when /q, /qn, /qb, /qr, /quiet or /passive is given.");
    // Asked for explicitly, so shown even with a quiet switch.
    MessageBoxW(nullptr, text.c_str(), gTitle.c_str(), MB_OK | MB_SETFOREGROUND | MB_ICONINFORMATION);
}

// ---- files -------------------------------------------------------------

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    void reset(HANDLE handle) {
        close();
        handle_ = handle;
    }
    void close() {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class FileSource final : public Source {
  public:
    FileSource(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    bool readAt(uint64_t offset, void* buffer, uint32_t length) override {
        auto* out = static_cast<BYTE*>(buffer);
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD got = 0;
            if (!ReadFile(file_, out, length, &got, &at) || got == 0) return false;
            out += got;
            offset += got;
            length -= got;
        }
        return true;
    }
    uint64_t size() const override { return size_; }

  private:
    HANDLE file_;
    uint64_t size_;
};

class FileSink final : public Sink {
  public:
    explicit FileSink(HANDLE file) : file_(file) {}
    bool write(const void* data, uint32_t length) override {
        const auto* in = static_cast<const BYTE*>(data);
        while (length > 0) {
            DWORD done = 0;
            if (!WriteFile(file_, in, length, &done, nullptr) || done == 0) {
                error_ = GetLastError();
                return false;
            }
            in += done;
            length -= done;
        }
        return true;
    }
    DWORD error() const { return error_ ? error_ : ERROR_WRITE_FAULT; }

  private:
    HANDLE file_;
    DWORD error_ = 0;
};

// Reads a file back through a handle and checks size and CRC-32.
bool sameContent(HANDLE file, const Entry& entry) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || static_cast<uint64_t>(size.QuadPart) != entry.uncompressedSize)
        return false;
    FileSource source(file, entry.uncompressedSize);
    constexpr uint32_t kChunk = 64 * 1024;
    auto* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, kChunk));
    if (!buffer) return false;
    uLong crc = crc32(0, nullptr, 0);
    bool complete = true;
    for (uint64_t offset = 0; offset < entry.uncompressedSize;) {
        const uint64_t left = entry.uncompressedSize - offset;
        const uint32_t n = left < kChunk ? static_cast<uint32_t>(left) : kChunk;
        if (!source.readAt(offset, buffer, n)) {
            complete = false;
            break;
        }
        crc = crc32(crc, buffer, n);
        offset += n;
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    return complete && crc == entry.crc32;
}

bool removeWithRetries(const WText& extended, bool folder) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (folder ? RemoveDirectoryW(extended.c_str()) : DeleteFileW(extended.c_str())) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        Sleep(250); // msiexec's service may still hold the package for a moment
    }
    return false;
}

void entryFileName(const Entry& entry, WText& out) {
    bool ascii = true;
    for (uint32_t i = 0; i < entry.nameLength; ++i)
        if (static_cast<BYTE>(entry.name[i]) >= 0x80) ascii = false;
    // Without the UTF-8 flag a non-ASCII name is in an unknown code page.
    if ((ascii || (entry.flags & 0x0800)) && isPlainFileName(entry.name, entry.nameLength)) {
        const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.name,
                                          static_cast<int>(entry.nameLength), nullptr, 0);
        if (n > 0) {
            out.clear();
            out.reserve(static_cast<size_t>(n));
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.name, static_cast<int>(entry.nameLength),
                                out.data(), n);
            out.data()[n] = 0;
            out.setLengthFromTerminator();
            return;
        }
    }
    out.assign(kFallbackName);
}

// Inflates into a new file and flushes it; on failure says why (the caller
// removes the file). Returns 0 or the exit code to end with.
DWORD unpackTo(Source& source, const Entry& entry, const WText& path, HANDLE file) {
    FileSink sink(file);
    const InflateResult result = inflateEntry(source, entry, sink);
    if (result == InflateResult::Ok && FlushFileBuffers(file)) return 0;
    if (result == InflateResult::Damaged || result == InflateResult::ReadFailed) return failDamaged();
    const DWORD error = result == InflateResult::OutOfMemory   ? ERROR_NOT_ENOUGH_MEMORY
                        : result == InflateResult::WriteFailed ? sink.error()
                                                               : GetLastError();
    WText text(L"Cannot write the installation package to\n");
    text.append(path).append(L"\n\n");
    appendSystemMessage(text, error);
    showMessage(text, MB_ICONERROR);
    return error ? error : ERROR_WRITE_FAULT;
}

// ---- the two jobs ------------------------------------------------------

DWORD extractPackage(Source& source, const Entry& entry, const wchar_t* folderArgument) {
    WText folder;
    WText name;
    WText target;
    WText partial;
    WText extendedTarget;
    WText extendedPartial;
    entryFileName(entry, name);
    if (!fullPath(folderArgument, folder) || !createFolders(folder)) {
        const DWORD error = GetLastError();
        WText text(L"Cannot create the folder\n");
        text.append(folder.empty() ? WText(folderArgument).c_str() : folder.c_str()).append(L"\n\n");
        appendSystemMessage(text, error);
        showMessage(text, MB_ICONERROR);
        return error ? error : ERROR_PATH_NOT_FOUND;
    }
    joinPath(folder, name.c_str(), target);
    wchar_t suffix[20];
    randomHex(suffix, 4);
    joinPath(folder, L"~", partial);
    partial.append(suffix).append(L".tmp");
    extendedPath(target, extendedTarget);
    extendedPath(partial, extendedPartial);

    // Written beside the target and renamed into place only when complete.
    Handle file(CreateFileW(extendedPartial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD error = GetLastError();
        WText text(L"Cannot write the installation package to\n");
        text.append(displayPath(target, extendedTarget)).append(L"\n\n");
        appendSystemMessage(text, error);
        showMessage(text, MB_ICONERROR);
        return error;
    }
    const DWORD failed = unpackTo(source, entry, displayPath(target, extendedTarget), file.get());
    file.close();
    if (failed) {
        DeleteFileW(extendedPartial.c_str());
        return failed;
    }
    if (!MoveFileExW(extendedPartial.c_str(), extendedTarget.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(extendedPartial.c_str());
        WText text(L"Cannot write the installation package to\n");
        text.append(displayPath(target, extendedTarget)).append(L"\n\n");
        appendSystemMessage(text, error);
        showMessage(text, MB_ICONERROR);
        return error;
    }
    return 0;
}

// A security descriptor that lets in only the current user, SYSTEM and the
// Administrators, with nothing inherited from the temporary folder.
PSECURITY_DESCRIPTOR privateFolderDescriptor() {
    Handle token;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return nullptr;
    token.reset(raw);
    DWORD length = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    if (length == 0) return nullptr;
    void* user = HeapAlloc(GetProcessHeap(), 0, length);
    if (!user) return nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* sid = nullptr;
    if (GetTokenInformation(token.get(), TokenUser, user, length, &length) &&
        ConvertSidToStringSidW(static_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        WText sddl(L"D:P(A;OICI;FA;;;");
        sddl.append(sid).append(L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            descriptor = nullptr;
        LocalFree(sid);
    }
    HeapFree(GetProcessHeap(), 0, user);
    return descriptor;
}

DWORD failTemp(const WText& where, DWORD error) {
    WText text(L"Cannot create a working folder in\n");
    text.append(where).append(L"\n\n");
    appendSystemMessage(text, error);
    showMessage(text, MB_ICONERROR);
    return kExitTempUnwritable;
}

DWORD installPackage(Source& source, const Entry& entry, const wchar_t* msiexecArguments) {
    WText temp;
    {
        WText raw;
        raw.reserve(MAX_PATH + 1);
        const DWORD n = GetTempPathW(MAX_PATH + 1, raw.data());
        if (n == 0 || n > MAX_PATH) return failTemp(WText(L"the temporary folder"), GetLastError());
        raw.setLengthFromTerminator();
        if (!fullPath(raw.c_str(), temp)) return failTemp(raw, GetLastError());
    }

    PSECURITY_DESCRIPTOR descriptor = privateFolderDescriptor();
    if (!descriptor) return failTemp(temp, GetLastError());
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};

    // A new folder of our own: creation fails rather than reuse what exists.
    WText folder;
    WText extendedFolder;
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 16 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        wchar_t name[40] = L"pkf-";
        randomHex(name + 4, 8);
        joinPath(temp, name, folder);
        extendedPath(folder, extendedFolder);
        error = CreateDirectoryW(extendedFolder.c_str(), &security) ? 0 : GetLastError();
    }
    LocalFree(descriptor);
    if (error) return failTemp(temp, error);

    // Held without delete sharing so that nobody can swap the folder while
    // the package is in it; a reparse point here means it is not ours.
    Handle folderHandle(CreateFileW(extendedFolder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION folderInfo{};
    if (!folderHandle.valid() || !GetFileInformationByHandle(folderHandle.get(), &folderInfo) ||
        !(folderInfo.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (folderInfo.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = GetLastError();
        folderHandle.close();
        RemoveDirectoryW(extendedFolder.c_str());
        return failTemp(temp, error ? error : ERROR_ACCESS_DENIED);
    }

    WText name;
    WText package;
    WText extendedPackage;
    entryFileName(entry, name);
    joinPath(folder, name.c_str(), package);
    extendedPath(package, extendedPackage);

    DWORD exitCode = 0;
    Handle file(CreateFileW(extendedPackage.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        exitCode = failTemp(temp, GetLastError());
    } else {
        exitCode = unpackTo(source, entry, displayPath(package, extendedPackage), file.get());
        if (exitCode != 0 && exitCode != kExitPackageInvalid) exitCode = kExitTempUnwritable;
        file.close();
        if (exitCode == 0) {
            // Reopened read-only, denying writers until msiexec is done, and
            // checked once more through that handle: what runs is what was checked.
            file.reset(CreateFileW(extendedPackage.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.valid() || !sameContent(file.get(), entry)) exitCode = failDamaged();
        }
    }

    if (exitCode == 0) {
        WText msiexec;
        msiexec.reserve(MAX_PATH + 1);
        const UINT n = GetSystemDirectoryW(msiexec.data(), MAX_PATH + 1);
        if (n == 0 || n > MAX_PATH) {
            exitCode = kExitServiceFailure;
        } else {
            msiexec.setLengthFromTerminator();
            joinPath(WText(msiexec.c_str()), L"msiexec.exe", msiexec);
            WText commandLine;
            commandLine.append(L'"').append(msiexec).append(L"\" /i \"");
            commandLine.append(displayPath(package, extendedPackage)).append(L'"');
            if (*msiexecArguments) commandLine.append(L' ').append(msiexecArguments);

            STARTUPINFOW startup{};
            GetStartupInfoW(&startup);
            startup.cb = sizeof startup;
            startup.lpReserved = nullptr;
            startup.lpTitle = nullptr;
            startup.lpDesktop = nullptr;
            startup.cbReserved2 = 0;
            startup.lpReserved2 = nullptr;
            startup.dwFlags &= STARTF_USESHOWWINDOW;
            PROCESS_INFORMATION process{};
            if (CreateProcessW(msiexec.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process)) {
                CloseHandle(process.hThread);
                WaitForSingleObject(process.hProcess, INFINITE);
                DWORD code = 0;
                exitCode = GetExitCodeProcess(process.hProcess, &code) ? code : kExitServiceFailure;
                CloseHandle(process.hProcess);
            } else {
                const DWORD startError = GetLastError();
                WText text(L"Cannot start Windows Installer\n");
                text.append(msiexec).append(L"\n\n");
                appendSystemMessage(text, startError);
                showMessage(text, MB_ICONERROR);
                exitCode = kExitServiceFailure;
            }
        }
    }

    file.close();
    removeWithRetries(extendedPackage, false);
    folderHandle.close();
    removeWithRetries(extendedFolder, true);
    return exitCode;
}

DWORD run() {
    const wchar_t* arguments = skipProgramName(GetCommandLineW());

    WText first;
    const wchar_t* cursor = arguments;
    const bool haveFirst = nextArgument(cursor, first);
    {
        WText arg;
        for (const wchar_t* p = arguments; nextArgument(p, arg);)
            if (isUnattendedSwitch(arg)) gQuiet = true;
    }

    WText self;
    if (!modulePath(self)) return failDamaged();
    gTitle.assign(fileNamePart(self.c_str()));

    if (haveFirst && (isSwitch(first, L"?") || isSwitch(first, L"help"))) {
        showUsage();
        return 0;
    }
    // /extract [FOLDER], optionally with a quiet switch; nothing else.
    const bool extract = haveFirst && isSwitch(first, L"extract");
    WText folder;
    if (extract) {
        bool haveFolder = false;
        bool wrong = false;
        WText arg;
        while (nextArgument(cursor, arg)) {
            if (isUnattendedSwitch(arg)) continue;
            if (haveFolder || (arg.size() > 1 && arg[0] == L'/')) wrong = true;
            haveFolder = true;
            folder.assign(arg.c_str());
        }
        if (wrong) {
            if (!gQuiet) showUsage();
            return kExitBadCommandLine;
        }
        if (folder.empty()) folder.assign(L".");
    }

    WText extendedSelf;
    extendedPath(self, extendedSelf);
    Handle own(CreateFileW(extendedSelf.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!own.valid() || !GetFileSizeEx(own.get(), &size)) return failDamaged();
    FileSource source(own.get(), static_cast<uint64_t>(size.QuadPart));
    static Entry entry;
    if (!locateEntry(source, entry)) return failDamaged();

    if (extract) return extractPackage(source, entry, folder.c_str());
    return installPackage(source, entry, arguments);
}

} // namespace
} // namespace stub

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    stub::restrictDllSearch();
    return static_cast<int>(stub::run());
}
