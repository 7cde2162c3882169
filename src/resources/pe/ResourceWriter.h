// Lays out a resource section and puts it into a PE image.
#pragma once

#include "resources/pe/ResourceUpdate.h"

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace pakforge::pe {

// type -> name -> language -> bytes; the maps' order is the loader's order.
using ResourceTree = std::map<ResId, std::map<ResId, std::map<std::uint16_t, std::vector<std::uint8_t>>>>;

// One resource as the writer takes it: identifiers and bytes borrowed from
// the caller for the length of the call.
struct ResourceRef {
    const ResId* type;
    const ResId* name;
    std::uint16_t language;
    std::span<const std::uint8_t> data;
};

// The flat form of a set of resources: sorted in the loader's order (type,
// name, language), one entry per identity. Entries of one type point to one
// and the same type ResId, and entries of one name within a type to one and
// the same name ResId: the writer groups tables by address.
using ResourceList = std::vector<ResourceRef>;

// The tree as a list pointing into it.
ResourceList listOf(const ResourceTree& tree);

// The section's bytes for a section that will start at baseRva: directory
// tables (root, names, languages), data entries, names, then the data.
std::vector<std::uint8_t> buildResourceSection(const ResourceTree& tree, std::uint32_t baseRva);
std::vector<std::uint8_t> buildResourceSectionFromList(std::span<const ResourceRef> list,
                                                       std::uint32_t baseRva);

struct PeHeaders;

// Raises EBadImage unless replaceResources can work on this image (a resource
// directory slot, headers and every section's raw data inside the file,
// sections in address order).
void checkImageEditable(std::span<const std::uint8_t> file, const PeHeaders& headers);

// The whole file with its resources replaced by tree. The input is returned
// unchanged when the resources would come out byte for byte the same.
// Raises EBadImage when the file cannot be edited.
std::vector<std::uint8_t> replaceResources(std::span<const std::uint8_t> file, const ResourceTree& tree);
// changedAt, when given, may receive an offset where the result probably
// differs from the input: a cheap first test before comparing whole files.
std::vector<std::uint8_t> replaceResourcesFromList(std::span<const std::uint8_t> file,
                                                   std::span<const ResourceRef> list,
                                                   std::uint64_t* changedAt = nullptr);

} // namespace pakforge::pe
