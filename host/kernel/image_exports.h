// What the 32-bit host gives a driver image: the routines of the platform's
// modules, found by the name the image imports, and the VxD services its
// dynamic-link calls name.
#pragma once

#include <cstdint>
#include <span>

namespace host {

struct ImageExport {
    const char* module;  // as the import directory names it (compared without case)
    const char* name;
    void* address;       // with the convention the platform's headers give the routine
};

// Every routine the host exports to an image, of Windows 98 SE's set.
std::span<const ImageExport> image_exports();

// Where the service a dynamic-link call names is kept: the address of a
// pointer to it, into which the patched call site jumps (or calls) through.
// Null for a service the host does not provide.
void* const* vxd_service(std::uint16_t device, std::uint16_t service);

}  // namespace host
