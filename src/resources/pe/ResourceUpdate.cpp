#include "resources/pe/ResourceUpdate.h"

#include "core/Streams.h"
#include "os/System.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"

#include <algorithm>
#include <limits>
#include <system_error>

namespace pakforge::pe {

// Updates are logged in call order and settled at commit: sorted by identity,
// the last call of each identity wins. This keeps an update O(1) and the
// pending set flat, however many resources there are.
struct ResourceUpdate::Impl {
    struct Pending {
        ResId type;
        ResId name;
        std::uint16_t language;
        bool remove;
        std::span<const std::uint8_t> data; // into original, a copy chunk, or the caller's bytes
    };
    std::filesystem::path file;
    std::vector<std::uint8_t> original;
    std::vector<Pending> pending;
    // Copies of the bytes given to update(). A vector's buffer stays put when
    // the outer vector grows, so the spans in pending stay valid.
    std::vector<std::vector<std::uint8_t>> copies;
    bool done = false;

    std::span<const std::uint8_t> keep(std::span<const std::uint8_t> data) {
        if (data.empty()) return {};
        return copies.emplace_back(data.begin(), data.end());
    }

    // The pending set in the loader's order, one entry per identity.
    ResourceList settle() const;
};

namespace {

std::vector<std::uint8_t> readImage(const std::filesystem::path& file) {
    try {
        return readWholeFile(file);
    } catch (const Exception&) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(file, ec);
        raiseOSError(os::errorCode(exists ? os::Error::AccessDenied : os::Error::NotFound));
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
            impl_->pending.push_back({e.type, e.name, e.language, false, e.data});
        });
}

ResourceUpdate::~ResourceUpdate() = default;

void ResourceUpdate::reserve(std::size_t count) {
    impl_->pending.reserve(impl_->pending.size() + count);
}

void ResourceUpdate::update(const ResId& type, const ResId& name, std::uint16_t language,
                            std::span<const std::uint8_t> data) {
    if (impl_->done) throw Exception("The resource update has already been committed");
    impl_->pending.push_back({type, name, language, data.empty(), impl_->keep(data)});
}

void ResourceUpdate::updateBorrowed(ResId type, ResId name, std::uint16_t language,
                                    std::span<const std::uint8_t> data) {
    if (impl_->done) throw Exception("The resource update has already been committed");
    impl_->pending.push_back({std::move(type), std::move(name), language, data.empty(), data});
}

namespace {

// Three-way form of the loader's order (ResId's operator<).
int compareIds(const ResId& a, const ResId& b) {
    if (a.isName() != b.isName()) return a.isName() ? -1 : 1;
    if (a.isName()) return a.name().compare(b.name());
    return int{a.id()} - int{b.id()};
}

} // namespace

ResourceList ResourceUpdate::Impl::settle() const {
    auto compare = [](const Pending& a, const Pending& b) {
        if (const int c = compareIds(a.type, b.type)) return c;
        if (const int c = compareIds(a.name, b.name)) return c;
        return int{a.language} - int{b.language};
    };
    const std::size_t count = pending.size();
    ResourceList list;
    list.reserve(count);
    // One pass over the log in the given order: the last call of each
    // identity counts, and entries of one type (one name) share the first
    // one's identifier, as the writer expects. False if the order is not the
    // loader's.
    auto collect = [&](auto&& at) {
        for (std::size_t i = 0; i < count; ++i) {
            const Pending& p = at(i);
            if (i + 1 < count) {
                const int c = compare(p, at(i + 1));
                if (c > 0) return false;
                if (c == 0) continue;
            }
            if (p.remove) continue;
            const ResId* type = &p.type;
            const ResId* name = &p.name;
            if (!list.empty() && *list.back().type == p.type) {
                type = list.back().type;
                if (*list.back().name == p.name) name = list.back().name;
            }
            list.push_back({type, name, p.language, p.data});
        }
        return true;
    };
    // Calls usually come in the loader's order already (a module saving what
    // it loaded): then nothing is sorted.
    if (collect([&](std::size_t i) -> const Pending& { return pending[i]; })) return list;
    list.clear();
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return compare(pending[a], pending[b]) < 0; });
    collect([&](std::size_t i) -> const Pending& { return pending[order[i]]; });
    return list;
}

void ResourceUpdate::commit() {
    if (impl_->done) throw Exception("The resource update has already been committed");
    const ResourceList list = impl_->settle();
    std::uint64_t changedAt = std::numeric_limits<std::uint64_t>::max();
    const std::vector<std::uint8_t> result = replaceResourcesFromList(impl_->original, list, &changedAt);
    impl_->done = true;
    // One byte usually settles it; only a possible no-op compares everything.
    const auto& original = impl_->original;
    const bool provenChanged = result.size() != original.size() ||
                               (changedAt < result.size() && result[changedAt] != original[changedAt]);
    if (!provenChanged && result == original) return;
    // Never write what the loader would refuse or we could not read back.
    if (const auto problems = validateLayout(result); !problems.empty())
        throw ELayoutRejected(impl_->file, problems, !validateLayout(original).empty());
    const std::size_t expected = list.size();
    std::size_t found = 0;
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
