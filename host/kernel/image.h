// The loader of the 32-bit host: it loads a driver image the way the
// platform's loader does and hands it to the kernel as a module.
#pragma once

#include <optional>
#include <string>

#include "host/kernel/module.h"

namespace host {

// Loads the image at `path`: checks that it is an i386 native-subsystem
// driver, maps its sections at their alignment, applies its base relocations
// for the place it got, binds each import by name to the host's export of
// that module (ntoskrnl.exe, HAL.dll, USBD.SYS: Windows 98 SE's set), and
// reads its export directory. The configuration manager's services are linked
// as the VxD loader links them: the first run of each dynamic-link call traps
// and is patched, in place, into a jump to the service. Empty, with `*error`
// naming what it refused (the file, a header, an import), when the platform's
// loader would not load it.
//
// While the image is mapped, a fault in its code is a bug check naming the
// routine it happened in: from the linker's map file beside the image (the
// image's name with .map), or its nearest export when there is none.
std::optional<Module> load_image(const std::string& path, std::string* error);

}  // namespace host
