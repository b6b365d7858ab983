// A driver module's export directory, as the loader reads it from the image:
// the exported names in byte order, each with its ordinal and its address.
#pragma once

#include "ntdef.h"

typedef struct _MODULE_EXPORT {
    PCSTR Name;
    USHORT Ordinal;
    PVOID Address;
} MODULE_EXPORT, *PMODULE_EXPORT;
