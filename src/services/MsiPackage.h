// The installer service's reading of a package: msi.dll on Windows; on Linux
// libmsi, in a child process, since it trusts the file it reads.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pakforge::services {

// The values of the named properties of the package at `path`, in the order
// asked, a property the package lacks read as empty; nothing when the file
// cannot be opened as a package. The service's own user interface is
// switched off first, for the whole process.
std::optional<std::vector<std::u16string>> ReadPackageProperties(const std::u16string& path,
                                                                 std::span<const std::u16string> names);

} // namespace pakforge::services
