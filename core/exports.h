// The module's export directory.
#pragma once

#include "platform/module.h"

#define USB2SER_EXPORT_COUNT 13

extern const MODULE_EXPORT USB2SER_ExportTable[USB2SER_EXPORT_COUNT];
