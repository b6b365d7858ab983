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

extern "C" BOOLEAN NTAPI COMOpenedForSerport(BOOLEAN Opened, ULONG Port);
extern "C" BOOLEAN NTAPI CableRemoveForSerport(PCABLE_REMOVE Callback);
extern "C" BOOLEAN NTAPI GetIntStatusForSerport(PVOID Ignored, ULONG Port);
extern "C" BOOLEAN NTAPI GetStateForSerport(PUCHAR Settings, ULONG Port);
extern "C" BOOLEAN NTAPI KickTxForSerport(ULONG Port);
extern "C" BOOLEAN NTAPI SetBreakForSerport(BOOLEAN On, ULONG Port);
extern "C" BOOLEAN NTAPI SetControlLineForSerport(CHAR Line, ULONG State, ULONG Port);
extern "C" BOOLEAN NTAPI SetMSRShadowForSerport(PSET_MSR_SHADOW Callback);
extern "C" BOOLEAN NTAPI SetReadQueueForSerport(PSET_READ_QUEUE Callback);
extern "C" BOOLEAN NTAPI SetStateForSerport(PUCHAR Settings, UCHAR Kind, ULONG Port);
extern "C" BOOLEAN NTAPI WriteForSerport(PUCHAR Data, ULONG Length, ULONG Port);
extern "C" BOOLEAN NTAPI WriteOutQueueForSerport(PWRITE_OUT_QUEUE Callback);
