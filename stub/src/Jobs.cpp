#include "Jobs.h"

// After windows.h, which it needs.
#include <sddl.h>

#include "Arguments.h"
#include "Embedded.h"
#include "Files.h"
#include "Messages.h"
#include "Paths.h"
#include "System.h"

namespace stub {

namespace {

// Writes every byte and flushes; 0 or the exit code after saying why.
DWORD writeBytes(HANDLE file, const BYTE* data, DWORD size, const WText& shown) {
    while (size > 0) {
        DWORD done = 0;
        if (!WriteFile(file, data, size, &done, nullptr) || done == 0)
            return failWrite(shown, GetLastError());
        data += done;
        size -= done;
    }
    return FlushFileBuffers(file) ? 0 : failWrite(shown, GetLastError());
}

// Saves one file in the folder: written beside the target and renamed into
// place only when complete; an existing file is kept unless `replace`.
template <class Fill> DWORD saveInFolder(const WText& folder, const wchar_t* name, bool replace, Fill fill) {
    WText target;
    WText partial;
    WText extendedTarget;
    WText extendedPartial;
    joinPath(folder, name, target);
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

    Handle file(CreateFileW(extendedPartial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return failWrite(displayPath(target, extendedTarget), GetLastError());
    const DWORD failed = fill(file.get(), displayPath(target, extendedTarget));
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

} // namespace

DWORD extractPackage(Source& source, const Entry& entry, const Request& request, const Settings* settings) {
    WText folder;
    WText name;
    entryFileName(entry, name);
    if (!fullPath(request.folder.c_str(), folder) || !createFolders(folder)) {
        const DWORD error = GetLastError();
        WText text(L"Cannot create the folder\n");
        text.append(folder.empty() ? request.folder.c_str() : folder.c_str()).append(L"\n\n");
        appendSystemMessage(text, error);
        showMessage(text, MB_ICONERROR);
        return error ? error : ERROR_PATH_NOT_FOUND;
    }
    DWORD failed = saveInFolder(folder, name.c_str(), request.replace, [&](HANDLE file, const WText& shown) {
        return unpackTo(source, entry, shown, file);
    });
    // The transforms go beside the package, so that it installs from there as it would from here.
    const uint32_t transforms = settings ? settings->transformCount : 0;
    for (uint32_t i = 0; failed == 0 && i < transforms; ++i) {
        const Transform transform = transformAt(*settings, i);
        WText transformName;
        appendView(transformName, transform.name);
        failed = saveInFolder(folder, transformName.c_str(), request.replace,
                              [&](HANDLE file, const WText& shown) {
                                  return writeBytes(file, transformBytes(i), transform.size, shown);
                              });
    }
    return failed;
}

namespace {

// Working folders are "pkf-" and 8 hex digits (16 in earlier versions).
constexpr wchar_t kFolderPrefix[] = L"pkf-";
constexpr int kFolderRandomBytes = 4;
// A working folder this old, not in use, was left by a stub that was killed.
constexpr ULONGLONG kStaleAge = 24ull * 60 * 60 * 10000000; // one day in 100 ns
constexpr int kSweepFolders = 32;

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

// Hands `visit` the entries that match the pattern, at most `limit` of them,
// until it returns false.
template <class Visit> void forEachMatch(const WText& pattern, int limit, Visit visit) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    int seen = 0;
    while (visit(found) && ++seen < limit && FindNextFileW(search, &found)) {
    }
    FindClose(search);
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
    WText item;
    forEachMatch(pattern, 16, [&](const WIN32_FIND_DATAW& found) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true; // ".", ".." and anything else
        joinPath(extended, found.cFileName, item);
        return removeLeftFile(item);
    });
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
    WText folder;
    forEachMatch(extendedPattern, kSweepFolders, [&](const WIN32_FIND_DATAW& found) {
        const ULONGLONG written = (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                  found.ftLastWriteTime.dwLowDateTime;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !isWorkingFolderName(found.cFileName) || written + kStaleAge > current)
            return true;
        joinPath(base, found.cFileName, folder);
        sweepFolder(folder);
        return true;
    });
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

// Writes a file through one handle (`fill` gives 0 or an exit code) and
// ends with a read-only handle that denies writers and deletion, obtained
// from the first without ever naming the path again, and checked through
// itself against the size and CRC-32 in `expected`: what msiexec opens is
// what was checked. Returns 0 or the exit code.
template <class Fill>
DWORD writeAndSeal(const WText& extended, const WText& shown, const Entry& expected, Handle& sealed,
                   Fill fill) {
    Handle writer(CreateFileW(extended.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writer.valid()) {
        failWrite(shown, GetLastError());
        return kExitTempUnwritable;
    }
    DWORD exitCode = fill(writer.get());
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
    return sameContent(sealed.get(), expected) ? 0 : failDamaged();
}

// The transforms beside the package, each checked and held like it; their
// full paths, ';' between, go to `list`.
DWORD writeTransforms(const Settings& settings, const WText& folder, const WText& shownFolder, Handle* sealed,
                      WText& list) {
    list.clear();
    for (uint32_t i = 0; i < settings.transformCount; ++i) {
        const Transform transform = transformAt(settings, i);
        WText name;
        appendView(name, transform.name);
        WText path;
        WText extended;
        WText shown;
        joinPath(folder, name.c_str(), path);
        extendedPath(path, extended);
        joinPath(shownFolder, name.c_str(), shown);
        static Entry expected;
        expected.uncompressedSize = transform.size;
        expected.crc32 = transform.crc32;
        const DWORD exitCode = writeAndSeal(extended, shown, expected, sealed[i], [&](HANDLE file) {
            return writeBytes(file, transformBytes(i), transform.size, shown);
        });
        if (exitCode != 0) return exitCode;
        if (i > 0) list.append(L';');
        list.append(shown);
    }
    return 0;
}

void removeTransforms(const Settings* settings, const WText& folder, Handle* sealed) {
    const uint32_t count = settings ? settings->transformCount : 0;
    for (uint32_t i = 0; i < count; ++i) {
        sealed[i].close();
        WText name;
        appendView(name, transformAt(*settings, i).name);
        WText path;
        WText extended;
        joinPath(folder, name.c_str(), path);
        extendedPath(path, extended);
        removeWithRetries(extended, false);
    }
}

// The built-in log's place: the user's temporary folder. False when there
// is none to name.
bool logPathOf(const Settings& settings, WText& path) {
    WText temp;
    temp.reserve(MAX_PATH + 1);
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp.data());
    if (n == 0 || n > MAX_PATH) return false;
    temp.setLengthFromTerminator();
    WText name;
    appendView(name, settings.logName);
    joinPath(temp, name.c_str(), path);
    return true;
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

} // namespace

namespace {

// Everything that happens in the working folder once it is there.
DWORD installFromFolder(Source& source, const Entry& entry, const Request& request, const Settings* settings,
                        const WText& folder, const WText& shownFolder) {
    WText name;
    entryFileName(entry, name);
    WText package;
    WText extendedPackage;
    joinPath(folder, name.c_str(), package);
    extendedPath(package, extendedPackage);
    WText shown;
    joinPath(shownFolder, name.c_str(), shown);

    Handle sealed;
    Handle sealedTransforms[kMaxTransforms];
    WText transformList;
    DWORD exitCode = writeAndSeal(extendedPackage, shown, entry, sealed,
                                  [&](HANDLE file) { return unpackTo(source, entry, shown, file); });
    if (exitCode == 0 && settings)
        exitCode = writeTransforms(*settings, folder, shownFolder, sealedTransforms, transformList);
    if (exitCode == 0) {
        BuiltIn builtIn;
        builtIn.settings = settings;
        builtIn.transforms = transformList.c_str();
        WText logPath;
        if (settings && settings->has(kFlagLog) && logPathOf(*settings, logPath))
            builtIn.logPath = logPath.c_str();
        WText arguments;
        WText refused;
        exitCode = mergeArguments(request.arguments, builtIn, arguments, refused)
                       ? kExitBadCommandLine
                       : runMsiexec(shown, arguments);
    }
    sealed.close();
    removeWithRetries(extendedPackage, false);
    removeTransforms(settings, folder, sealedTransforms);
    return exitCode;
}

} // namespace

DWORD installPackage(Source& source, const Entry& entry, const Request& request, const Settings* settings) {
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

    WText shownFolder;
    joinPath(shownBase, fileNamePart(folder.c_str()), shownFolder);
    const DWORD exitCode = installFromFolder(source, entry, request, settings, folder, shownFolder);

    folderHandle.close();
    WText extendedFolder;
    extendedPath(folder, extendedFolder);
    removeWithRetries(extendedFolder, true);
    return exitCode;
}

} // namespace stub
