// The C runtime subset that the kernel exports to drivers. The kernel's
// versions keep the target's widths (atol accumulates in 32 bits, wcslen counts
// 16-bit characters); on this host the names bind to the emulated kernel's
// implementations, so a driver source reads as it would on the target.
#pragma once

#include "ntdef.h"

TORVEX_C_BEGIN

#if defined(TORVEX_TARGET)
int CDECL sprintf(CHAR* Buffer, PCSTR Format, ...);
LONG CDECL atol(PCSTR Text);
SIZE_T CDECL wcslen(PCWSTR Text);
#else
int CDECL KrtSprintf(CHAR* Buffer, PCSTR Format, ...);
LONG CDECL KrtAtol(PCSTR Text);
SIZE_T CDECL KrtWcslen(PCWSTR Text);

#define sprintf KrtSprintf
#define atol KrtAtol
#define wcslen KrtWcslen
#endif

TORVEX_C_END
