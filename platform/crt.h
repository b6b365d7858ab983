// The C runtime subset that the kernel exports to drivers. The kernel's
// versions keep the target's widths (atol accumulates in 32 bits, wcslen counts
// 16-bit characters); on this host the names bind to the emulated kernel's
// implementations, so a driver source reads as it would on the target.
#pragma once

#include "ntdef.h"

int KrtSprintf(CHAR* Buffer, PCSTR Format, ...);
LONG KrtAtol(PCSTR Text);
SIZE_T KrtWcslen(PCWSTR Text);

#define sprintf KrtSprintf
#define atol KrtAtol
#define wcslen KrtWcslen
