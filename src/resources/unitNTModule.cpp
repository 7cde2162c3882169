#include "resources/unitNTModule.h"

#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "resources/pe/PeImage.h"

namespace pakforge {

namespace {

[[noreturn]] void raiseIndexError(std::int32_t index) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

std::vector<std::uint8_t> readModuleFile(const std::filesystem::path& fileName) {
    try {
        return readWholeFile(fileName);
    } catch (const Exception&) {
        std::error_code ec;
        raiseOSError(os::errorCode(std::filesystem::exists(fileName, ec) ? os::Error::AccessDenied
                                                                         : os::Error::NotFound));
    }
}

} // namespace

TNTModule::~TNTModule() = default;

std::int32_t TNTModule::GetResourceCount() const {
    return static_cast<std::int32_t>(list_.size());
}

TResourceDetails* TNTModule::GetResourceDetails(std::int32_t index) const {
    if (index < 0 || index >= GetResourceCount()) raiseIndexError(index);
    return list_[static_cast<std::size_t>(index)].get();
}

void TNTModule::DeleteResource(std::int32_t index) {
    const TResourceDetails* details = GetResourceDetails(index);
    TResourceModule::DeleteResource(index);
    const std::int32_t now = IndexOfResource(details);
    if (now >= 0) list_.erase(list_.begin() + now);
}

void TNTModule::InsertResource(std::int32_t index, std::unique_ptr<TResourceDetails>&& details) {
    if (index < 0 || index > GetResourceCount()) raiseIndexError(index);
    list_.insert(list_.begin() + index, std::move(details));
}

std::int32_t TNTModule::AddResource(std::unique_ptr<TResourceDetails>&& details) {
    list_.push_back(std::move(details));
    return GetResourceCount() - 1;
}

std::int32_t TNTModule::IndexOfResource(const TResourceDetails* details) const {
    for (std::size_t i = 0; i < list_.size(); ++i)
        if (list_[i].get() == details) return static_cast<std::int32_t>(i);
    return -1;
}

pe::ResId TNTModule::ToResId(const std::u16string& text) {
    std::int32_t value = -1;
    try {
        value = NumericIdOf(text);
    } catch (const EConvertError&) {
        // Too many digits for a number: it can only be a name.
    }
    if (value >= 0 && value <= 0xFFFF) return pe::ResId::number(static_cast<std::uint16_t>(value));
    return pe::ResId::named(text);
}

std::u16string TNTModule::FromResId(const pe::ResId& id) {
    if (id.isName()) return id.name();
    // Decimal digits, written directly: this runs twice per resource loaded.
    char16_t digits[5];
    std::size_t count = 0;
    std::uint32_t value = id.id();
    do {
        digits[4 - count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value);
    return std::u16string(digits + 5 - count, count);
}

void TNTModule::LoadFromFile(const std::filesystem::path& fileName) {
    const std::vector<std::uint8_t> file = readModuleFile(fileName);
    const pe::PeHeaders headers = pe::parseHeaders(file);
    list_.clear();
    // Empty resources still get a non-null pointer: null would mean "make an
    // empty one" to the details constructor.
    static const std::uint8_t kNoBytes = 0;
    pe::forEachResource(file, headers, [&](const pe::ResourceEntry& entry) {
        const std::uint8_t* bytes = entry.data.empty() ? &kNoBytes : entry.data.data();
        list_.push_back(TResourceDetails::CreateDetailsFor(this, entry.language, FromResId(entry.name),
                                                           FromResId(entry.type), entry.data.size(), bytes));
    });
}

void TNTModule::SaveToFile(const std::filesystem::path& fileName) {
    pe::ResourceUpdate update(fileName, true);
    update.reserve(list_.size());
    // The details outlive the commit below and nothing touches them until
    // then, so their bytes are lent, not copied.
    for (const auto& details : list_) {
        const MemoryStream& data = details->Data();
        update.updateBorrowed(ToResId(details->ResourceType), ToResId(details->ResourceName()),
                              static_cast<std::uint16_t>(details->ResourceLanguage), data.bytes());
    }
    // Marks come back if the file could not be written after all.
    std::vector<bool> marks;
    marks.reserve(list_.size());
    for (const auto& details : list_) marks.push_back(details->Dirty);
    const bool moduleMark = Dirty;
    ClearDirty();
    try {
        update.commit();
    } catch (...) {
        Dirty = moduleMark;
        for (std::size_t i = 0; i < list_.size(); ++i) list_[i]->Dirty = marks[i];
        throw;
    }
}

} // namespace pakforge
