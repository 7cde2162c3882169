// The resource model: one executable's resources as a flat, ordered list of
// details objects (type, name, language, raw bytes), the registry of details
// classes keyed by resource type, and the factory that picks a class for a
// resource read from a file.
//
// Identifiers are text: numeric ids as their decimal digits ("14", "1"),
// names as they stand ("MAINICON").
//
// Details classes. A class derives from TResourceDetails, inherits its
// constructor (`using TResourceDetails::TResourceDetails;`), hides the static
// class-level operations it changes (ClassResourceType, AcceptsRawData,
// AcceptsData) and names itself with PAKFORGE_DETAILS_CLASS(ClassName) in its
// body. Objects are made only through Create<T>, CreateEmpty<T> or
// CreateDetailsFor, which run InitializeEmpty once the object is complete
// (a C++ constructor cannot reach the derived override).
//
// Registration. A source module registers its classes with static
// TDetailsClassRegistrar<T> objects, declared in the required order inside one
// translation unit; they unregister in reverse order at shut-down. Static
// objects of a static library only run when their object file is linked in,
// so a unit whose classes must be present also exports a function that
// programs call (or reference) to pull it in.
#pragma once

#include "core/Exceptions.h"
#include "core/Streams.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pakforge {

class TResourceModule;
class TResourceDetails;

// StrToInt's failure: "'%s' is not a valid integer value".
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// A class reference: what the registry and the factory need of one class.
struct TResourceDetailsClass {
    const char* ClassName;
    std::u16string (*ClassResourceType)();
    bool (*AcceptsRawData)(const std::u16string& name, std::size_t size, const std::uint8_t* data);
    bool (*AcceptsData)(std::size_t size, const std::uint8_t* data);
    std::unique_ptr<TResourceDetails> (*Create)(TResourceModule* parent, std::int32_t language,
                                                const std::u16string& name, const std::u16string& type,
                                                std::size_t size, const std::uint8_t* data);
};

// The one class reference of T (compared by address).
template <class T> const TResourceDetailsClass& DetailsClassOf();

// Put in the body of every details class.
#define PAKFORGE_DETAILS_CLASS(Name)                                                                         \
  public:                                                                                                    \
    static constexpr const char* StaticClassName = #Name;                                                    \
    const ::pakforge::TResourceDetailsClass& DetailsClass() const override {                                 \
        return ::pakforge::DetailsClassOf<Name>();                                                           \
    }                                                                                                        \
                                                                                                             \
  private:

// One resource.
class TResourceDetails {
  public:
    static constexpr const char* StaticClassName = "TResourceDetails";

    // Stores the fields; Data starts empty. Use Create/CreateEmpty/CreateDetailsFor
    // rather than this directly.
    TResourceDetails(TResourceModule* parent, std::int32_t language, std::u16string name,
                     std::u16string type);
    TResourceDetails(const TResourceDetails&) = delete;
    TResourceDetails& operator=(const TResourceDetails&) = delete;
    virtual ~TResourceDetails();

    // Create(parent, language, name, type, size, data): copies size bytes when
    // data is non-null, else InitializeEmpty(). Not added to the parent.
    template <class T>
    static std::unique_ptr<T> Create(TResourceModule* parent, std::int32_t language, std::u16string name,
                                     std::u16string type, std::size_t size, const std::uint8_t* data) {
        auto details = std::make_unique<T>(parent, language, std::move(name), std::move(type));
        if (data) {
            details->Data().writeBuffer(data, size);
            details->Data().setPosition(0);
        } else {
            details->InitializeEmpty();
        }
        return details;
    }

    // CreateEmpty(parent, language, name): type = T::ClassResourceType();
    // appended to the parent at once (before InitializeEmpty, so a group is
    // listed before the images its InitializeEmpty adds). The parent owns the
    // object; the returned pointer is borrowed. Raises if the parent does not
    // store it (a module whose AddResource stores nothing).
    template <class T>
    static T* CreateEmpty(TResourceModule* parent, std::int32_t language, std::u16string name);
    // The same without a parent: the caller owns the object.
    template <class T>
    static std::unique_ptr<T> CreateEmptyOwned(std::int32_t language, std::u16string name) {
        auto details = std::make_unique<T>(nullptr, language, std::move(name), T::ClassResourceType());
        details->InitializeEmpty();
        return details;
    }

    // Class-level factory: the registered class for this type (type "10" asks
    // AcceptsRawData), else the first registered class accepting the bytes,
    // else ANSI text, Unicode text, or plain TResourceDetails.
    static std::unique_ptr<TResourceDetails> CreateDetailsFor(TResourceModule* parent, std::int32_t language,
                                                              const std::u16string& name,
                                                              const std::u16string& type, std::size_t size,
                                                              const std::uint8_t* data);

    // Virtual operations, in slot order.
    virtual void InitializeEmpty();
    virtual void SetResourceName(const std::u16string& name);
    static bool AcceptsRawData(const std::u16string& name, std::size_t size, const std::uint8_t* data);
    static bool AcceptsData(std::size_t size, const std::uint8_t* data);
    virtual MemoryStream& GetData();
    static std::u16string ClassResourceType(); // "0"
    virtual void PrepareDelete();
    // Empties Data, then copies the whole of stream from its start.
    virtual void ReplaceData(Stream& stream);

    // The class of this object (most derived that used PAKFORGE_DETAILS_CLASS).
    virtual const TResourceDetailsClass& DetailsClass() const;
    const char* ClassName() const { return DetailsClass().ClassName; }

    // Fields.
    TResourceModule* Parent;               // not owned; may be null
    MemoryStream& Data() { return data_; } // owned
    const MemoryStream& Data() const { return data_; }
    std::int32_t ResourceLanguage;
    const std::u16string& ResourceName() const { return name_; }
    std::u16string ResourceType;
    bool Dirty = false;

  private:
    MemoryStream data_;
    std::u16string name_;
};

// Fallback for unregistered resources that look like 8-bit text.
class TAnsiResourceDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TAnsiResourceDetails)
  public:
    using TResourceDetails::TResourceDetails;
    void InitializeEmpty() override;
    // size > 0 and the first min(size, 1024) bytes are 0x20..0x7F, 9, 10 or 13.
    static bool AcceptsData(std::size_t size, const std::uint8_t* data);
};

// Fallback for unregistered resources that look like UTF-16 text.
class TUnicodeResourceDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TUnicodeResourceDetails)
  public:
    using TResourceDetails::TResourceDetails;
    void InitializeEmpty() override;
    // size > 5 and the first min(size/2 - 2, 1023) LE units are 0x20..0x7F, 9, 10 or 13.
    static bool AcceptsData(std::size_t size, const std::uint8_t* data);
};

// A container of resources.
class TResourceModule {
  public:
    TResourceModule() = default;
    TResourceModule(const TResourceModule&) = delete;
    TResourceModule& operator=(const TResourceModule&) = delete;
    virtual ~TResourceModule();

    // Virtual operations, in slot order.
    virtual std::int32_t GetResourceCount() const = 0;
    // Never null for an index in range; raises otherwise.
    virtual TResourceDetails* GetResourceDetails(std::int32_t index) const = 0;
    // Base: Dirty = true, then PrepareDelete() on the resource.
    virtual void DeleteResource(std::int32_t index);
    // The module takes ownership when it stores the object (moves from it);
    // the base stores nothing and leaves the pointer with the caller.
    virtual void InsertResource(std::int32_t index, std::unique_ptr<TResourceDetails>&& details);
    // Returns the new index; base: stores nothing, returns -1.
    virtual std::int32_t AddResource(std::unique_ptr<TResourceDetails>&& details);
    // Index of that very object, or -1.
    virtual std::int32_t IndexOfResource(const TResourceDetails* details) const = 0;
    // Base: "Module doesn't support streaming".
    virtual void SaveToStream(Stream& stream);
    virtual void LoadFromStream(Stream& stream);
    // Base: via SaveToStream with a backup of the old file (out.exe -> out.~exe).
    virtual void SaveToFile(const std::filesystem::path& fileName);
    // Base: opens for reading (shared) and calls LoadFromStream.
    virtual void LoadFromFile(const std::filesystem::path& fileName);

    std::int32_t ResourceCount() const { return GetResourceCount(); }
    TResourceDetails* ResourceDetails(std::int32_t index) const { return GetResourceDetails(index); }

    void ClearDirty();
    // One more than the largest numeric name among resources of exactly this type ("1" if none).
    std::u16string NextResourceId(const std::u16string& type) const;

    bool Dirty = false;
};

// The value of a digits-only identifier text, else -1. Raises EConvertError
// when the digits exceed a signed 32-bit integer.
std::int32_t NumericIdOf(std::u16string_view text);

// The backup name the base SaveToFile uses.
std::filesystem::path BackupFileName(const std::filesystem::path& fileName);

// Registry of details classes (process-wide, ordered, repeats allowed).
void RegisterDetailsClass(const TResourceDetailsClass& cls);
// Removes every occurrence; the others keep their order.
void UnregisterDetailsClass(const TResourceDetailsClass& cls);
std::vector<const TResourceDetailsClass*> RegisteredDetailsClasses();

// Registers T for the life of the object (start-up to shut-down).
template <class T> class TDetailsClassRegistrar {
  public:
    TDetailsClassRegistrar() { RegisterDetailsClass(DetailsClassOf<T>()); }
    ~TDetailsClassRegistrar() { UnregisterDetailsClass(DetailsClassOf<T>()); }
    TDetailsClassRegistrar(const TDetailsClassRegistrar&) = delete;
    TDetailsClassRegistrar& operator=(const TDetailsClassRegistrar&) = delete;
};

// ---- templates ----

template <class T> const TResourceDetailsClass& DetailsClassOf() {
    static const TResourceDetailsClass cls{
        T::StaticClassName,
        &T::ClassResourceType,
        &T::AcceptsRawData,
        &T::AcceptsData,
        [](TResourceModule* parent, std::int32_t language, const std::u16string& name,
           const std::u16string& type, std::size_t size,
           const std::uint8_t* data) -> std::unique_ptr<TResourceDetails> {
            return TResourceDetails::Create<T>(parent, language, name, type, size, data);
        },
    };
    return cls;
}

template <class T>
T* TResourceDetails::CreateEmpty(TResourceModule* parent, std::int32_t language, std::u16string name) {
    if (!parent) throw Exception("CreateEmpty needs a module");
    std::unique_ptr<TResourceDetails> details =
        std::make_unique<T>(parent, language, std::move(name), T::ClassResourceType());
    T* raw = static_cast<T*>(details.get());
    parent->AddResource(std::move(details));
    if (details) throw Exception("The module does not store resources");
    raw->InitializeEmpty();
    return raw;
}

} // namespace pakforge
