// TNTModule: the resources of a PE file on disk as a resource module. Loading
// reads every resource in directory order; saving replaces all of the file's
// resources with the list (a later entry of the same identity wins; empty
// Data removes), leaving the file as it was when anything fails.
#pragma once

#include "resources/pe/ResourceUpdate.h"
#include "resources/unitResourceDetails.h"

#include <memory>
#include <vector>

namespace pakforge {

// TList's index error: "List index out of bounds (%d)".
class EListError : public Exception {
  public:
    using Exception::Exception;
};

class TNTModule : public TResourceModule {
  public:
    TNTModule() = default;
    ~TNTModule() override;

    std::int32_t GetResourceCount() const override;
    TResourceDetails* GetResourceDetails(std::int32_t index) const override;
    // PrepareDelete may delete other resources (a group its images); the
    // object is then found again by identity and freed.
    void DeleteResource(std::int32_t index) override;
    void InsertResource(std::int32_t index, std::unique_ptr<TResourceDetails>&& details) override;
    std::int32_t AddResource(std::unique_ptr<TResourceDetails>&& details) override;
    std::int32_t IndexOfResource(const TResourceDetails* details) const override;
    void SaveToFile(const std::filesystem::path& fileName) override;
    void LoadFromFile(const std::filesystem::path& fileName) override;

    // Identifier text -> the update API's form: digits up to 65535 are a
    // number; anything else, including longer digit strings, is a name.
    static pe::ResId ToResId(const std::u16string& text);
    static std::u16string FromResId(const pe::ResId& id);

  private:
    std::vector<std::unique_ptr<TResourceDetails>> list_;
};

} // namespace pakforge
