#include "Files.h"

#include <zlib.h>

#include "Arguments.h"
#include "Messages.h"

namespace stub {
namespace {

constexpr wchar_t kFallbackName[] = L"package.msi";

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

bool endsWithMsi(const wchar_t* name, size_t length) {
    if (length < 4) return false;
    const wchar_t* tail = name + length - 4;
    return tail[0] == L'.' && lower(tail[1]) == L'm' && lower(tail[2]) == L's' && lower(tail[3]) == L'i';
}

} // namespace

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

} // namespace stub
