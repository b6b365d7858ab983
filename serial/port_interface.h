// The interface the port driver operates the port through: the thirteen
// exported functions (ExtBaudrateForSerport lives with the line coding).
#pragma once

#include "core/usb2ser.h"

#define USB2SER_STATE_LINE_CONTROL 1  // SetStateForSerport kinds
#define USB2SER_STATE_BAUD_RATE    2

#define USB2SER_LINE_DTR  1  // SetControlLineForSerport selectors
#define USB2SER_LINE_RTS  2
#define USB2SER_LINE_DCR  3
#define USB2SER_LINE_XON  4

BOOLEAN COMOpenedForSerport(BOOLEAN Opened, ULONG Port);
BOOLEAN CableRemoveForSerport(PCABLE_REMOVE Callback);
BOOLEAN GetIntStatusForSerport(PVOID Ignored, ULONG Port);
BOOLEAN GetStateForSerport(PUCHAR Settings, ULONG Port);
BOOLEAN KickTxForSerport(ULONG Port);
BOOLEAN SetBreakForSerport(BOOLEAN On, ULONG Port);
BOOLEAN SetControlLineForSerport(CHAR Line, ULONG State, ULONG Port);
BOOLEAN SetMSRShadowForSerport(PSET_MSR_SHADOW Callback);
BOOLEAN SetReadQueueForSerport(PSET_READ_QUEUE Callback);
BOOLEAN SetStateForSerport(PUCHAR Settings, UCHAR Kind, ULONG Port);
BOOLEAN WriteForSerport(PUCHAR Data, ULONG Length, ULONG Port);
BOOLEAN WriteOutQueueForSerport(PWRITE_OUT_QUEUE Callback);
