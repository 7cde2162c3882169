// The Windows stub: finds the installer package appended to its own file,
// unpacks it into a private folder and hands it to Windows Installer.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>
#include <zlib.h>

#include "Archive.h"
#include "Arguments.h"
#include "System.h"
#include "Text.h"

namespace stub {
namespace {

// Windows Installer's own codes, so scripts read them like msiexec's.
constexpr DWORD kExitServiceFailure = 1601; // ERROR_INSTALL_SERVICE_FAILURE
constexpr DWORD kExitPackageInvalid = 1620; // ERROR_INSTALL_PACKAGE_INVALID
constexpr DWORD kExitTempUnwritable = 1632; // ERROR_INSTALL_TEMP_UNWRITABLE
constexpr DWORD kExitBadCommandLine = 1639; // ERROR_INVALID_COMMAND_LINE

constexpr wchar_t kFallbackName[] = L"package.msi";
// Working folders are "pkf-" and 8 hex digits (16 in earlier versions).
constexpr wchar_t kFolderPrefix[] = L"pkf-";
constexpr int kFolderRandomBytes = 4;
// A working folder this old, not in use, was left by a stub that was killed.
constexpr ULONGLONG kStaleAge = 24ull * 60 * 60 * 10000000; // one day in 100 ns
constexpr int kSweepFolders = 32;

bool gQuiet = false;
const wchar_t* gTitle = L"Installer";

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
    messageBox(text.c_str(), gTitle, MB_OK | MB_SETFOREGROUND | icon);
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

bool randomHex(wchar_t* out, int bytes) {
    BYTE buffer[16] = {};
    const bool random = systemRandom(buffer, static_cast<ULONG>(bytes));
    if (!random) {
        // Only uniqueness rests on this: folders are created fail-if-exists.
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
    return random;
}

// A path for messages and for msiexec's command line: the plain form when
// it is short enough for every program.
const WText& displayPath(const WText& full, const WText& extended) {
    return full.size() < MAX_PATH ? full : extended;
}

// ---- command line -------------------------------------------------------

DWORD refuseArgument(const WText& argument) {
    WText text(L"The option \"");
    text.append(argument);
    text.append(L"\" cannot be passed to this installer: it installs the package it contains and "
                L"nothing else.\n\nOptions it passes to Windows Installer: /quiet, /passive, /q, /qn, "
                L"/qb, /qr, /qf, /norestart, /forcerestart, /promptrestart, /l*v FILE, /log FILE and "
                L"PROPERTY=value. Run it with /? for help.");
    showMessage(text, MB_ICONERROR);
    return kExitBadCommandLine;
}

// After /extract: the first word it does not take, named as the refusal of
// an msiexec option names it.
DWORD refuseExtractArgument(const WText& argument) {
    WText text(L"The option \"");
    text.append(argument);
    text.append(L"\" is not understood with /extract, which takes one folder, /y and a quiet switch: ");
    text.append(gTitle).append(L" /extract [folder] [/y] [/qn]. Run it with /? for help.");
    showMessage(text, MB_ICONERROR);
    return kExitBadCommandLine;
}

void showUsage() {
    WText text;
    text.append(L"Installs the Windows Installer package contained in this file.\n\n");
    text.append(gTitle).append(L" [options]\n");
    text.append(L"    Runs msiexec /i on the package. Passed on to msiexec: /quiet, /passive, "
                L"/q[n|b|r|f], /norestart, /forcerestart, /promptrestart, /l*v FILE, /log FILE and "
                L"PROPERTY=value. Options that name another package or another action (/i, /x, /a, "
                L"/f, /p, /j, /package, /uninstall, /update, ...) are refused.\n\n");
    text.append(gTitle).append(L" /extract [folder] [/y] [/qn]\n");
    text.append(L"    Saves the package in the folder (default: the current folder) and installs "
                L"nothing. An existing file is kept unless /y is given. Keep the saved package: "
                L"repairs and changes that need the installation files ask for it later.\n\n");
    text.append(gTitle).append(L" /?\n    Shows this help.\n\n");
    text.append(L"The exit code is msiexec's (0 success, 1602 cancelled, 1603 failed, 3010 restart "
                L"needed). 1620: the package inside this file is damaged. 1639: an option was "
                L"refused. 80: /extract found the file already there. 206: the temporary folder's path is "
                L"too long. Messages are not shown when "
                L"/q, /qn, /qb, /qr, /quiet or /passive is given.");
    // Asked for explicitly, so shown even with a quiet switch.
    messageBox(text.c_str(), gTitle, MB_OK | MB_SETFOREGROUND | MB_ICONINFORMATION);
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

bool endsWithMsi(const wchar_t* name, size_t length) {
    if (length < 4) return false;
    const wchar_t* tail = name + length - 4;
    return tail[0] == L'.' && lower(tail[1]) == L'm' && lower(tail[2]) == L's' && lower(tail[3]) == L'i';
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
            // Windows Installer is handed nothing but a package.
            if (endsWithMsi(out.c_str(), out.size())) return;
        }
    }
    out.assign(kFallbackName);
}

DWORD failWrite(const WText& path, DWORD error) {
    WText text(L"Cannot write the installation package to\n");
    text.append(path).append(L"\n\n");
    appendSystemMessage(text, error);
    showMessage(text, MB_ICONERROR);
    return error ? error : ERROR_WRITE_FAULT;
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
    return failWrite(path, error);
}

// ---- the two jobs ------------------------------------------------------

DWORD extractPackage(Source& source, const Entry& entry, const wchar_t* folderArgument, bool replace) {
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
    extendedPath(target, extendedTarget);
    const DWORD exists = GetFileAttributesW(extendedTarget.c_str());
    if (exists != INVALID_FILE_ATTRIBUTES && (!replace || (exists & FILE_ATTRIBUTE_DIRECTORY))) {
        WText text(L"The file\n");
        text.append(displayPath(target, extendedTarget));
        text.append(replace ? L"\nis a folder; nothing was saved."
                            : L"\nalready exists and was left as it is.\n\n"
                              L"Add /y to replace it.");
        showMessage(text, MB_ICONERROR);
        return ERROR_FILE_EXISTS;
    }
    wchar_t suffix[20];
    randomHex(suffix, 4);
    joinPath(folder, L"~", partial);
    partial.append(suffix).append(L".tmp");
    extendedPath(partial, extendedPartial);

    // Written beside the target and renamed into place only when complete.
    Handle file(CreateFileW(extendedPartial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return failWrite(displayPath(target, extendedTarget), GetLastError());
    const DWORD failed = unpackTo(source, entry, displayPath(target, extendedTarget), file.get());
    file.close();
    if (failed) {
        DeleteFileW(extendedPartial.c_str());
        return failed;
    }
    // Without /y a file that appeared meanwhile is still not replaced.
    if (!MoveFileExW(extendedPartial.c_str(), extendedTarget.c_str(),
                     (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(extendedPartial.c_str());
        if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
        return failWrite(displayPath(target, extendedTarget), error);
    }
    return 0;
}

DWORD failTemp(const WText& where, DWORD error) {
    WText text(L"Cannot create a working folder in\n");
    text.append(where).append(L"\n\n");
    appendSystemMessage(text, error);
    showMessage(text, MB_ICONERROR);
    return kExitTempUnwritable;
}

// Elevated or SYSTEM: the user's own %TEMP% is writable by the same user's
// unelevated programs, so the package must not pass through it.
bool isElevated(const Security& security) {
    HANDLE raw = nullptr;
    if (!security.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    Handle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD length = 0;
    return security.GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &length) &&
           elevation.TokenIsElevated;
}

bool isFolder(const WText& path) {
    WText extended;
    extendedPath(path, extended);
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Where the working folder goes. Elevated runs use what GetTempPath2W gives
// SYSTEM (%SystemRoot%\SystemTemp), else %SystemRoot%\Temp, where other
// users may create folders but not enter ours (its DACL is explicit).
bool workingBase(bool elevated, WText& base, WText& fallback) {
    base.clear();
    fallback.clear();
    WText raw;
    raw.reserve(MAX_PATH + 1);
    if (elevated) {
        const UINT n = GetSystemWindowsDirectoryW(raw.data(), MAX_PATH + 1);
        if (n == 0 || n > MAX_PATH) return false;
        raw.setLengthFromTerminator();
        joinPath(raw, L"SystemTemp", base);
        joinPath(raw, L"Temp", fallback);
        if (!isFolder(base)) base.assign(fallback.c_str());
        return true;
    }
    const DWORD n = GetTempPathW(MAX_PATH + 1, raw.data());
    if (n == 0 || n > MAX_PATH) return false;
    raw.setLengthFromTerminator();
    return fullPath(raw.c_str(), base);
}

// A security descriptor with nothing inherited from the temporary folder:
// SYSTEM and the Administrators, and the user only when not elevated (an
// elevated user's unelevated programs carry the same user SID).
PSECURITY_DESCRIPTOR privateFolderDescriptor(const Security& security, bool elevated) {
    WText sddl(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (elevated) {
        // The owner's implicit right to change the DACL is taken away too.
        sddl.append(L"(A;OICI;0x1200a9;;;S-1-3-4)");
        if (!security.ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                           &descriptor, nullptr))
            return nullptr;
        return descriptor;
    }
    HANDLE raw = nullptr;
    if (!security.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return nullptr;
    Handle token(raw);
    DWORD length = 0;
    security.GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    if (length == 0) return nullptr;
    void* user = HeapAlloc(GetProcessHeap(), 0, length);
    if (!user) return nullptr;
    wchar_t* sid = nullptr;
    if (security.GetTokenInformation(token.get(), TokenUser, user, length, &length) &&
        security.ConvertSidToStringSidW(static_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        sddl.append(L"(A;OICI;FA;;;").append(sid).append(L')');
        if (!security.ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                           &descriptor, nullptr))
            descriptor = nullptr;
        LocalFree(sid);
    }
    HeapFree(GetProcessHeap(), 0, user);
    return descriptor;
}

bool isWorkingFolderName(const wchar_t* name) {
    if (!startsWith(name, kFolderPrefix)) return false;
    const wchar_t* hex = name + lstrlenW(kFolderPrefix);
    int digits = 0;
    for (; hex[digits]; ++digits) {
        const wchar_t c = hex[digits];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return digits == 2 * kFolderRandomBytes || digits == 16;
}

// Removes one file of a stale working folder through a handle that did not
// follow a link; a link is left where it is (and with it the folder). False
// when the file is in use or cannot go.
bool removeLeftFile(const WText& path) {
    Handle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    // A second name means the file is not one we wrote (ours have one).
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1)
        return false;
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

// Removes the files directly in a stale working folder, then the folder.
// Subfolders are left (and with them the folder). A folder in use fails to
// go and is left alone: its package is held open without delete sharing.
void sweepFolder(const WText& folder) {
    WText extended;
    extendedPath(folder, extended);
    // Held without delete sharing, the folder cannot be renamed or swapped
    // for a link while its files are removed by path.
    Handle held(CreateFileW(extended.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held.valid() || !GetFileInformationByHandle(held.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    WText pattern;
    joinPath(extended, L"*", pattern);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    WText item;
    int files = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue; // ".", ".." and anything else
        joinPath(extended, found.cFileName, item);
        if (!removeLeftFile(item)) break;
    } while (++files < 16 && FindNextFileW(search, &found));
    FindClose(search);
    held.close();
    RemoveDirectoryW(extended.c_str());
}

// Working folders that stubs killed mid-run left behind.
void sweepStaleFolders(const WText& base) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    WText pattern;
    joinPath(base, kFolderPrefix, pattern);
    pattern.append(L'*');
    WText extendedPattern;
    extendedPath(pattern, extendedPattern);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(extendedPattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    WText folder;
    int swept = 0;
    do {
        const ULONGLONG written = (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                  found.ftLastWriteTime.dwLowDateTime;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !isWorkingFolderName(found.cFileName) || written + kStaleAge > current)
            continue;
        joinPath(base, found.cFileName, folder);
        sweepFolder(folder);
    } while (++swept < kSweepFolders && FindNextFileW(search, &found));
    FindClose(search);
}

// The base folder as msiexec is told it: the package's path there has to
// stay under MAX_PATH (msiexec fails on longer ones), so a long base is
// given by its short name when the volume has them. False when even that
// is too long.
bool baseForMsiexec(const WText& base, size_t nameLength, WText& out) {
    // base\pkf-XXXXXXXX\name
    const size_t tail = 1 + lstrlenW(kFolderPrefix) + 2 * kFolderRandomBytes + 1 + nameLength;
    out.assign(base.c_str());
    if (out.size() + tail < MAX_PATH) return true;
    // The base came from GetTempPathW or the Windows folder: under MAX_PATH.
    WText shortName;
    shortName.reserve(MAX_PATH + 1);
    const DWORD n = GetShortPathNameW(base.c_str(), shortName.data(), MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return false;
    shortName.setLengthFromTerminator();
    out.assign(shortName.c_str());
    return out.size() + tail < MAX_PATH;
}

DWORD failPathTooLong(const WText& base) {
    WText text(L"The temporary folder's path is too long for Windows Installer:\n");
    text.append(base);
    text.append(L"\n\nSet the TEMP variable to a shorter folder, or save the package with /extract and "
                L"install it from there.");
    showMessage(text, MB_ICONERROR);
    return ERROR_FILENAME_EXCED_RANGE;
}

// Creates a new working folder of our own in `base`; creation fails rather
// than reuse what exists. The folder is held open without delete sharing so
// that it cannot be renamed or swapped while the package is in it.
DWORD createWorkingFolder(const WText& base, SECURITY_ATTRIBUTES& security, WText& folder, Handle& held) {
    WText extended;
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 16 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        wchar_t name[40];
        lstrcpyW(name, kFolderPrefix);
        randomHex(name + lstrlenW(kFolderPrefix), kFolderRandomBytes);
        joinPath(base, name, folder);
        extendedPath(folder, extended);
        error = CreateDirectoryW(extended.c_str(), &security) ? 0 : GetLastError();
    }
    if (error) return error;
    // Listing access, unlike attribute access alone, takes part in sharing
    // checks; a reparse point here means the folder is not ours.
    held.reset(CreateFileW(extended.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held.valid() || !GetFileInformationByHandle(held.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = GetLastError();
        held.close();
        RemoveDirectoryW(extended.c_str());
        return error ? error : ERROR_ACCESS_DENIED;
    }
    return 0;
}

// Writes the package through one handle and ends with a read-only handle
// that denies writers and deletion, obtained from the first without ever
// naming the path again, and checked through itself: what msiexec opens is
// what was checked. Returns 0 or the exit code.
DWORD writeAndSeal(Source& source, const Entry& entry, const WText& extended, const WText& shown,
                   Handle& sealed) {
    Handle writer(CreateFileW(extended.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writer.valid()) {
        failWrite(shown, GetLastError());
        return kExitTempUnwritable;
    }
    DWORD exitCode = unpackTo(source, entry, shown, writer.get());
    if (exitCode != 0) return exitCode == kExitPackageInvalid ? exitCode : kExitTempUnwritable;
    // A handle that denies writers cannot be opened while the writer is
    // open, so the read-only one passes through a share-all step; anything
    // written in that moment is caught by the check below.
    Handle step(ReOpenFile(writer.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    writer.close();
    if (step.valid()) sealed.reset(ReOpenFile(step.get(), GENERIC_READ, FILE_SHARE_READ, 0));
    if (!sealed.valid()) {
        failWrite(shown, GetLastError());
        return kExitTempUnwritable;
    }
    step.close();
    return sameContent(sealed.get(), entry) ? 0 : failDamaged();
}

bool startsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    while (*prefix)
        if (lower(*text++) != lower(*prefix++)) return false;
    return true;
}

// msiexec and the package's actions create files in %TEMP%; near MAX_PATH
// msiexec fails (1627), so it is given the short name of the same folder.
// False when the environment can stay as it is.
bool environmentWithShortTemp(WText& block) {
    WText temp;
    temp.reserve(MAX_PATH + 1);
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp.data());
    if (n == 0 || n > MAX_PATH) return false;
    temp.setLengthFromTerminator();
    if (temp.size() + 16 < MAX_PATH) return false; // room for "\MSIxxxx.tmp" and more
    WText shortTemp;
    shortTemp.reserve(MAX_PATH + 1);
    const DWORD m = GetShortPathNameW(temp.c_str(), shortTemp.data(), MAX_PATH + 1);
    if (m == 0 || m > MAX_PATH) return false;
    shortTemp.setLengthFromTerminator();
    if (shortTemp.size() >= temp.size()) return false;
    wchar_t* environment = GetEnvironmentStringsW();
    if (!environment) return false;
    block.clear();
    // In place, so the block keeps its order.
    for (const wchar_t* entry = environment; *entry; entry += lstrlenW(entry) + 1) {
        if (startsWithNoCase(entry, L"TEMP="))
            block.append(L"TEMP=").append(shortTemp);
        else if (startsWithNoCase(entry, L"TMP="))
            block.append(L"TMP=").append(shortTemp);
        else
            block.append(entry);
        block.append(L'\0');
    }
    FreeEnvironmentStringsW(environment);
    return true; // the string's own terminator ends the block
}

DWORD runMsiexec(const WText& package, const WText& arguments) {
    WText msiexec;
    msiexec.reserve(MAX_PATH + 1);
    const UINT n = GetSystemDirectoryW(msiexec.data(), MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return kExitServiceFailure;
    msiexec.setLengthFromTerminator();
    joinPath(WText(msiexec.c_str()), L"msiexec.exe", msiexec);
    WText commandLine;
    commandLine.append(L'"').append(msiexec).append(L"\" /i \"").append(package).append(L'"');
    commandLine.append(arguments);

    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    startup.cb = sizeof startup;
    startup.lpReserved = nullptr;
    startup.lpTitle = nullptr;
    startup.lpDesktop = nullptr;
    startup.cbReserved2 = 0;
    startup.lpReserved2 = nullptr;
    startup.dwFlags &= STARTF_USESHOWWINDOW;
    WText environment;
    const bool shortTemp = environmentWithShortTemp(environment);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(msiexec.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        shortTemp ? CREATE_UNICODE_ENVIRONMENT : 0, shortTemp ? environment.data() : nullptr,
                        nullptr, &startup, &process)) {
        const DWORD startError = GetLastError();
        WText text(L"Cannot start Windows Installer\n");
        text.append(msiexec).append(L"\n\n");
        appendSystemMessage(text, startError);
        showMessage(text, MB_ICONERROR);
        return kExitServiceFailure;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    const DWORD exitCode = GetExitCodeProcess(process.hProcess, &code) ? code : kExitServiceFailure;
    CloseHandle(process.hProcess);
    return exitCode;
}

DWORD installPackage(Source& source, const Entry& entry, const WText& msiexecArguments) {
    Security security;
    if (!security.load()) return failTemp(WText(L"the temporary folder"), GetLastError());
    const bool elevated = isElevated(security);
    WText base;
    WText fallback;
    if (!workingBase(elevated, base, fallback))
        return failTemp(WText(L"the temporary folder"), GetLastError());
    sweepStaleFolders(base);

    WText name;
    entryFileName(entry, name);
    WText shownBase;
    if (!baseForMsiexec(base, name.size(), shownBase)) return failPathTooLong(base);

    PSECURITY_DESCRIPTOR descriptor = privateFolderDescriptor(security, elevated);
    if (!descriptor) return failTemp(base, GetLastError());
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    WText folder;
    Handle folderHandle;
    DWORD error = createWorkingFolder(base, attributes, folder, folderHandle);
    if (error && !fallback.empty() && lstrcmpiW(base.c_str(), fallback.c_str()) != 0) {
        // SystemTemp is SYSTEM's alone on some versions.
        base.assign(fallback.c_str());
        sweepStaleFolders(base);
        shownBase.assign(base.c_str());
        error = createWorkingFolder(base, attributes, folder, folderHandle);
    }
    LocalFree(descriptor);
    if (error) return failTemp(base, error);

    WText package;
    WText extendedPackage;
    joinPath(folder, name.c_str(), package);
    extendedPath(package, extendedPackage);
    WText shownFolder;
    joinPath(shownBase, fileNamePart(folder.c_str()), shownFolder);
    WText shown;
    joinPath(shownFolder, name.c_str(), shown);

    Handle sealed;
    DWORD exitCode = writeAndSeal(source, entry, extendedPackage, shown, sealed);
    if (exitCode == 0) exitCode = runMsiexec(shown, msiexecArguments);

    sealed.close();
    removeWithRetries(extendedPackage, false);
    folderHandle.close();
    WText extendedFolder;
    extendedPath(folder, extendedFolder);
    removeWithRetries(extendedFolder, true);
    return exitCode;
}

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

    const wchar_t* arguments = skipProgramName(GetCommandLineW());
    WText first;
    const wchar_t* cursor = arguments;
    const bool haveFirst = nextArgument(cursor, first);
    {
        WText arg;
        for (const wchar_t* p = arguments; nextArgument(p, arg);)
            if (isUnattendedSwitch(arg)) gQuiet = true;
    }

    if (haveFirst && (isSwitch(first, L"?") || isSwitch(first, L"help"))) {
        showUsage();
        return 0;
    }
    // /extract [FOLDER] [/y], optionally with a quiet switch; nothing else.
    const bool extract = haveFirst && isSwitch(first, L"extract");
    WText folder;
    bool replace = false;
    WText forMsiexec;
    if (extract) {
        bool haveFolder = false;
        WText arg;
        while (nextArgument(cursor, arg)) {
            if (isUnattendedSwitch(arg)) continue;
            if (isSwitch(arg, L"y") && !replace) {
                replace = true;
                continue;
            }
            if (haveFolder || (arg.size() > 1 && arg[0] == L'/')) return refuseExtractArgument(arg);
            haveFolder = true;
            folder.assign(arg.c_str());
        }
        if (folder.empty()) folder.assign(L".");
    } else {
        WText refused;
        if (checkPassedArguments(arguments, forMsiexec, refused)) return refuseArgument(refused);
    }

    LARGE_INTEGER size;
    if (!own.valid() || !GetFileSizeEx(own.get(), &size)) return failDamaged();
    FileSource source(own.get(), static_cast<uint64_t>(size.QuadPart));
    static Entry entry;
    if (!isRunningImage(source) || !locateEntry(source, entry)) return failDamaged();

    if (extract) return extractPackage(source, entry, folder.c_str(), replace);
    return installPackage(source, entry, forMsiexec);
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
