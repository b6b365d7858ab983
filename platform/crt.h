// The C runtime routine that the kernel exports to drivers and the driver
// uses: sprintf. On this host the name binds to the emulated kernel's
// implementation, so a driver source reads as it would on the target.
#pragma once

#include "ntdef.h"

TORVEX_C_BEGIN

#if defined(TORVEX_TARGET)
int CDECL sprintf(CHAR* Buffer, PCSTR Format, ...);
#else
int CDECL KrtSprintf(CHAR* Buffer, PCSTR Format, ...);

#define sprintf KrtSprintf
#endif

TORVEX_C_END
