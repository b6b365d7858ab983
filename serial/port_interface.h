// The interface the port driver operates the port through: the exported
// routines of platform/serport.h (ExtBaudrateForSerport lives with the line
// coding).
#pragma once

#include "core/usb2ser.h"
