#include "compiler/Manifest.h"

#include "resources/pe/ResourceUpdate.h"

#include <cstdint>
#include <span>

namespace pakforge {

const std::string_view kManifestText =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
    "<assemblyIdentity version=\"1.1.1.1\"\r\n"
    "processorArchitecture=\"*\"\r\n"
    "name=\"kvrn\"\r\n"
    "type=\"win32\"/>\r\n"
    "<description>elevate execution level</description>\r\n"
    "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">\r\n"
    "<security>\r\n"
    "<requestedPrivileges>\r\n"
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\r\n"
    "</requestedPrivileges>\r\n"
    "</security>\r\n"
    "</trustInfo>\r\n"
    "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
    "<application>\r\n"
    "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\r\n"
    "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\r\n"
    "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\r\n"
    "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\r\n"
    "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\r\n"
    "</application>\r\n"
    "</compatibility>\r\n"
    "</assembly> ";

std::string elevatedManifestText() {
    std::string text(kManifestText);
    const std::string_view invoker = "level=\"asInvoker\"";
    text.replace(text.find(invoker), invoker.size(), "level=\"requireAdministrator\"");
    return text;
}

bool WriteManifestResource(const std::filesystem::path& executable, bool elevate) noexcept {
    try {
        const std::string text = elevate ? elevatedManifestText() : std::string(kManifestText);
        pe::ResourceUpdate update(executable, false);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        update.update(pe::ResId::number(24), pe::ResId::number(1), 0,
                      std::span<const std::uint8_t>(bytes, text.size()));
        update.commit();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace pakforge
