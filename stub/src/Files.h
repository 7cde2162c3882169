// The stub's files: handles, reading its own file, writing and checking the
// package.
#pragma once

#include <windows.h>

#include "Archive.h"
#include "Text.h"

namespace stub {

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

// Reads a file back through a handle and checks size and CRC-32.
bool sameContent(HANDLE file, const Entry& entry);
bool removeWithRetries(const WText& extended, bool folder);
// The entry's own name when it is a plain file name ending in .msi, else a
// fixed one.
void entryFileName(const Entry& entry, WText& out);
DWORD failWrite(const WText& path, DWORD error);
// Inflates into a new file and flushes it; on failure says why (the caller
// removes the file). Returns 0 or the exit code to end with.
DWORD unpackTo(Source& source, const Entry& entry, const WText& path, HANDLE file);

} // namespace stub
