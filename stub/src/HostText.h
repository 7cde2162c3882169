// The stub's WText interface over a standard string, so that host tests and
// fuzz targets can run the stub's text code (Arguments.h) unchanged.
#pragma once

#include <string>

namespace stub {

class HostText {
  public:
    HostText() = default;
    explicit HostText(const wchar_t* text) : text_(text) {}
    const wchar_t* c_str() const { return text_.c_str(); }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    wchar_t operator[](size_t i) const { return text_[i]; }
    HostText& append(const wchar_t* text, size_t length) {
        text_.append(text, length);
        return *this;
    }
    HostText& append(const wchar_t* text) {
        text_.append(text);
        return *this;
    }
    HostText& append(const HostText& text) {
        text_.append(text.text_);
        return *this;
    }
    HostText& append(wchar_t c) {
        text_.push_back(c);
        return *this;
    }
    void assign(const wchar_t* text) { text_.assign(text); }
    void clear() { text_.clear(); }
    const std::wstring& str() const { return text_; }

  private:
    std::wstring text_;
};

} // namespace stub
