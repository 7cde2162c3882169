#include "resources/pe/ResourceUpdate.h"

#include "core/Streams.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"

#include <cerrno>
#include <system_error>

namespace pakforge::pe {

struct ResourceUpdate::Impl {
    std::filesystem::path file;
    std::vector<std::uint8_t> original;
    ResourceTree pending;
    bool done = false;
};

namespace {

std::vector<std::uint8_t> readImage(const std::filesystem::path& file) {
    try {
        return readWholeFile(file);
    } catch (const Exception&) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(file, ec);
        raiseOSError(exists ? EACCES : ENOENT);
    }
}

} // namespace

ResourceUpdate::ResourceUpdate(const std::filesystem::path& file, bool deleteExisting)
    : impl_(std::make_unique<Impl>()) {
    impl_->file = file;
    impl_->original = readImage(file);
    const PeHeaders headers = parseHeaders(impl_->original);
    // Refuse now what commit() could not write.
    checkImageEditable(impl_->original, headers);
    if (!deleteExisting)
        forEachResource(impl_->original, headers, [&](const ResourceEntry& e) {
            impl_->pending[e.type][e.name][e.language].assign(e.data.begin(), e.data.end());
        });
}

ResourceUpdate::~ResourceUpdate() = default;

void ResourceUpdate::update(const ResId& type, const ResId& name, std::uint16_t language,
                            std::span<const std::uint8_t> data) {
    if (impl_->done) throw Exception("The resource update has already been committed");
    auto& pending = impl_->pending;
    if (!data.empty()) {
        pending[type][name][language].assign(data.begin(), data.end());
        return;
    }
    // No data: drop this identity, and tables left empty with it.
    const auto t = pending.find(type);
    if (t == pending.end()) return;
    const auto n = t->second.find(name);
    if (n == t->second.end()) return;
    n->second.erase(language);
    if (n->second.empty()) t->second.erase(n);
    if (t->second.empty()) pending.erase(t);
}

void ResourceUpdate::commit() {
    if (impl_->done) throw Exception("The resource update has already been committed");
    const std::vector<std::uint8_t> result = replaceResources(impl_->original, impl_->pending);
    impl_->done = true;
    if (result == impl_->original) return;
    // Never write what we could not read back.
    std::size_t expected = 0, found = 0;
    for (const auto& [type, names] : impl_->pending)
        for (const auto& [name, languages] : names) expected += languages.size();
    forEachResource(result, parseHeaders(result), [&](const ResourceEntry&) { ++found; });
    if (found != expected) throw EBadImage("the rewritten resources do not read back");
    PendingFile pendingFile(impl_->file);
    writeWholeFile(pendingFile.tempPath(), result);
    std::error_code ec;
    const auto perms = std::filesystem::status(impl_->file, ec).permissions();
    if (!ec) std::filesystem::permissions(pendingFile.tempPath(), perms, ec);
    pendingFile.commit();
}

} // namespace pakforge::pe
