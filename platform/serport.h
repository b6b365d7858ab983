// The port driver's contract with a bridge's driver: the thirteen routines
// the bridge's driver exports for the port driver (Serport), the four
// callbacks the port driver registers through them, the kinds and selectors
// they take, and the port-settings block the two exchange. A port driver
// knows the bridge's driver through this and nothing else: it finds the
// routines by name in the driver's export directory.
#pragma once

#include "platform/wdm.h"

// The port driver's callbacks. The port number tells it which port is meant.
typedef VOID (NTAPI *PSET_MSR_SHADOW)(PUSHORT ModemStatus, ULONG Port);  // the modem status word
typedef VOID (NTAPI *PSET_READ_QUEUE)(PUCHAR Data, ULONG Length, ULONG Port);  // received bytes
typedef VOID (NTAPI *PCABLE_REMOVE)(ULONG Port);  // the adapter is gone
typedef VOID (NTAPI *PWRITE_OUT_QUEUE)(ULONG Port);  // the next transmit chunk, please

// SetStateForSerport: what the block changes (another kind sends the line as it was).
#define SERPORT_STATE_LINE_CONTROL 1  // the framing: DataBits, Parity, StopBits
#define SERPORT_STATE_BAUD_RATE    2  // the rate: BaudRate

// SetControlLineForSerport selectors; the low byte of the state says on or off.
#define SERPORT_LINE_DTR 1
#define SERPORT_LINE_RTS 2
#define SERPORT_LINE_DCR 3  // hardware flow control
#define SERPORT_LINE_XON 4  // XON/XOFF flow control

// The port-settings block, exchanged whole in both directions. The bridge's
// driver interprets four fields, valued as the communications class's line
// coding; every other byte is the port driver's, kept and handed back as it is.
typedef struct _SERPORT_SETTINGS {
    UCHAR PortDriver0[4];
    UCHAR BaudRate[4];  // bits per second, little-endian (dwDTERate)
    UCHAR PortDriver1[14];
    UCHAR DataBits;  // bDataBits
    UCHAR Parity;    // bParityType: 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR StopBits;  // bCharFormat: 0 one, 1 one and a half, 2 two
    UCHAR PortDriver2[23];
} SERPORT_SETTINGS, *PSERPORT_SETTINGS;

static_assert(sizeof(SERPORT_SETTINGS) == 48, "the 48-byte block");
static_assert(FIELD_OFFSET(SERPORT_SETTINGS, BaudRate) == 4 && FIELD_OFFSET(SERPORT_SETTINGS, DataBits) == 22 &&
                  FIELD_OFFSET(SERPORT_SETTINGS, Parity) == 23 && FIELD_OFFSET(SERPORT_SETTINGS, StopBits) == 24,
              "the block's published layout");

// The exports. Settings points to a whole block.
extern "C" {
BOOLEAN NTAPI COMOpenedForSerport(BOOLEAN Opened, ULONG Port);
BOOLEAN NTAPI CableRemoveForSerport(PCABLE_REMOVE Callback);
BOOLEAN NTAPI ExtBaudrateForSerport(PCHAR Text);  // "rate,code rate,code ..."
BOOLEAN NTAPI GetIntStatusForSerport(PVOID Ignored, ULONG Port);
BOOLEAN NTAPI GetStateForSerport(PUCHAR Settings, ULONG Port);
BOOLEAN NTAPI KickTxForSerport(ULONG Port);
BOOLEAN NTAPI SetBreakForSerport(BOOLEAN On, ULONG Port);
BOOLEAN NTAPI SetControlLineForSerport(CHAR Line, ULONG State, ULONG Port);
BOOLEAN NTAPI SetMSRShadowForSerport(PSET_MSR_SHADOW Callback);
BOOLEAN NTAPI SetReadQueueForSerport(PSET_READ_QUEUE Callback);
BOOLEAN NTAPI SetStateForSerport(PUCHAR Settings, UCHAR Kind, ULONG Port);
BOOLEAN NTAPI WriteForSerport(PUCHAR Data, ULONG Length, ULONG Port);
BOOLEAN NTAPI WriteOutQueueForSerport(PWRITE_OUT_QUEUE Callback);
}
