// A small growable UTF-16 string on the process heap. The stub avoids the
// C++ library to stay small; running out of memory ends the process.
#pragma once

#include <windows.h>

namespace stub {

class WText {
  public:
    WText() = default;
    explicit WText(const wchar_t* text) { append(text); }
    WText(const WText&) = delete;
    WText& operator=(const WText&) = delete;
    ~WText() {
        if (data_) HeapFree(GetProcessHeap(), 0, data_);
    }

    const wchar_t* c_str() const { return data_ ? data_ : L""; }
    wchar_t* data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    wchar_t operator[](size_t i) const { return data_[i]; }

    WText& append(const wchar_t* text, size_t length) {
        reserve(size_ + length);
        CopyMemory(data_ + size_, text, length * sizeof(wchar_t));
        size_ += length;
        data_[size_] = 0;
        return *this;
    }
    WText& append(const wchar_t* text) { return append(text, lstrlenW(text)); }
    WText& append(const WText& text) { return append(text.c_str(), text.size()); }
    WText& append(wchar_t c) { return append(&c, 1); }
    WText& appendNumber(unsigned long value) {
        wchar_t digits[16];
        int n = 0;
        do {
            digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0) append(digits[--n]);
        return *this;
    }
    void assign(const wchar_t* text) {
        clear();
        append(text);
    }
    void clear() {
        size_ = 0;
        if (data_) data_[0] = 0;
    }
    void truncate(size_t length) {
        if (length < size_) {
            size_ = length;
            data_[size_] = 0;
        }
    }
    // Room for `length` characters plus the terminator.
    void reserve(size_t length) {
        if (length + 1 <= capacity_) return;
        size_t capacity = capacity_ ? capacity_ : 64;
        while (capacity < length + 1) capacity *= 2;
        void* grown = data_ ? HeapReAlloc(GetProcessHeap(), 0, data_, capacity * sizeof(wchar_t))
                            : HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(wchar_t));
        if (!grown) ExitProcess(ERROR_NOT_ENOUGH_MEMORY);
        data_ = static_cast<wchar_t*>(grown);
        if (capacity_ == 0) data_[0] = 0;
        capacity_ = capacity;
    }
    // After a call that wrote a zero-terminated string into data().
    void setLengthFromTerminator() { size_ = lstrlenW(data_); }

  private:
    wchar_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

} // namespace stub
