// Our stand-in for BeginUpdateResourceW / UpdateResourceW / EndUpdateResourceW:
// a pending set of resources that replaces a PE file's resources on commit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pakforge::pe {

// A resource type or name: a 16-bit number or a name (UTF-16).
struct ResId {
    static ResId number(std::uint16_t id) {
        ResId r;
        r.isName_ = false;
        r.id_ = id;
        return r;
    }
    static ResId named(std::u16string name) {
        ResId r;
        r.isName_ = true;
        r.name_ = std::move(name);
        return r;
    }

    bool isName() const { return isName_; }
    std::uint16_t id() const { return id_; }
    const std::u16string& name() const { return name_; }

    // The loader's directory order: names first (ordinal UTF-16 order), then
    // ids ascending.
    friend bool operator<(const ResId& a, const ResId& b) {
        if (a.isName_ != b.isName_) return a.isName_;
        return a.isName_ ? a.name_ < b.name_ : a.id_ < b.id_;
    }
    friend bool operator==(const ResId& a, const ResId& b) {
        return a.isName_ == b.isName_ && (a.isName_ ? a.name_ == b.name_ : a.id_ == b.id_);
    }

  private:
    bool isName_ = false;
    std::uint16_t id_ = 0;
    std::u16string name_;
};

class ResourceUpdate {
  public:
    // Reads the file and starts from no resources when deleteExisting, else
    // from the file's own. Raises EOSError if the file is not a PE we can edit.
    ResourceUpdate(const std::filesystem::path& file, bool deleteExisting);
    ResourceUpdate(const ResourceUpdate&) = delete;
    ResourceUpdate& operator=(const ResourceUpdate&) = delete;
    // Without commit() the file is left as it was.
    ~ResourceUpdate();

    // Room for count more update calls (a hint; saves regrowing the log).
    void reserve(std::size_t count);

    // A later call with the same identity replaces the bytes; an empty span
    // removes that identity from the pending set.
    void update(const ResId& type, const ResId& name, std::uint16_t language,
                std::span<const std::uint8_t> data);
    // The same without copying the bytes: they must stay alive and unchanged
    // until commit() returns or this object is destroyed.
    void updateBorrowed(ResId type, ResId name, std::uint16_t language, std::span<const std::uint8_t> data);

    // Writes the file (temp file beside it, renamed over it). On any failure the
    // file stays byte for byte as it was. Once only.
    void commit();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pakforge::pe
