// TVxStreams: reads a stub container (two mark bytes, then a body that may be
// compressed and/or enciphered) into memory and hands its items out by name.
#pragma once

#include "core/Streams.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pakforge {

class TVxStreams;

using TOnAskForKey = std::function<std::u16string(TVxStreams* sender)>;
using TNotifyEvent = std::function<void(TVxStreams* sender)>;

inline constexpr const char* kFileIsCorrupt = "File is corrupt.";
// The key pakforge.dat is enciphered with: the build reads the container
// with it, and pakforge-pack uses it when no other is named.
inline constexpr std::u16string_view kContainerKey = u"rqzvmtpxw4b7";
inline constexpr std::uint8_t kCompressedMark = 0x26; // '&'
inline constexpr std::uint8_t kEncryptedMark = 0x2A;  // '*'
inline constexpr std::uint8_t kNoMark = 0x20;
inline constexpr std::uint8_t kContainerSignature[8] = {1, 2, 3, 4, 5, 6, 7, 8};

struct TVxItemInfo {
    std::u16string name;
    std::int64_t size = 0;
};

class TVxStreams {
  public:
    explicit TVxStreams(void* owner = nullptr);
    TVxStreams(const TVxStreams&) = delete;
    TVxStreams& operator=(const TVxStreams&) = delete;
    ~TVxStreams();

    // Published properties; assigning them has no side effect. A load follows
    // the file's marks, never Compressed/Encrypted.
    bool Compressed = true;
    bool Encrypted = false;
    std::u16string Key;
    TOnAskForKey OnAskForKey;
    TNotifyEvent OnCorrupt;

    // Not published: a ceiling on the decoded body, for callers that load
    // untrusted files and want a bound on memory. Above it the load fails as a
    // corrupt file.
    std::int64_t MaxBodySize = std::numeric_limits<std::int32_t>::max();

    void* Owner() const { return owner_; }

    void Clear();
    // Opens the file read-only and unshared; EFOpenError when that fails.
    // Others may not write the file while it is read; share tells whether
    // they may read it.
    void LoadFromFile(const std::filesystem::path& fileName,
                      FileStream::Share share = FileStream::Share::Exclusive);
    void LoadFromStream(Stream& source);
    // Appends the named item's data at destination's position, then rewinds
    // destination. An empty name returns at once; an unknown one only rewinds.
    void GetStream(std::u16string_view name, Stream& destination) const;

    // Names and sizes in the collection's sorted order.
    std::vector<TVxItemInfo> ItemInfos() const;
    std::size_t Count() const { return Items.size(); }

  private:
    using Entry = std::pair<std::u16string, std::unique_ptr<MemoryStream>>;

    [[noreturn]] void RaiseCorrupt();
    void CheckSignature(const MemoryStream& stream);
    void ReadItems(const MemoryStream& body);
    // Adds in sorted order; a name already present drops the new entry.
    void AddItem(std::u16string name, std::unique_ptr<MemoryStream> data);
    // Index of name, or -1.
    std::ptrdiff_t Find(std::u16string_view name) const;

    void* owner_;
    std::vector<Entry> Items;
};

} // namespace pakforge
