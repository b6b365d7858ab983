// The module's export directory: the thirteen functions the port driver
// imports, by name, with ordinals 1 to 13 in the byte order of the names.
#include "core/exports.h"

#include "serial/line_coding.h"
#include "serial/port_interface.h"

#define USB2SER_EXPORT(ordinal, name) {#name, ordinal, reinterpret_cast<PVOID>(name)}

const MODULE_EXPORT USB2SER_ExportTable[USB2SER_EXPORT_COUNT] = {
    USB2SER_EXPORT(1, COMOpenedForSerport),
    USB2SER_EXPORT(2, CableRemoveForSerport),
    USB2SER_EXPORT(3, ExtBaudrateForSerport),
    USB2SER_EXPORT(4, GetIntStatusForSerport),
    USB2SER_EXPORT(5, GetStateForSerport),
    USB2SER_EXPORT(6, KickTxForSerport),
    USB2SER_EXPORT(7, SetBreakForSerport),
    USB2SER_EXPORT(8, SetControlLineForSerport),
    USB2SER_EXPORT(9, SetMSRShadowForSerport),
    USB2SER_EXPORT(10, SetReadQueueForSerport),
    USB2SER_EXPORT(11, SetStateForSerport),
    USB2SER_EXPORT(12, WriteForSerport),
    USB2SER_EXPORT(13, WriteOutQueueForSerport),
};
