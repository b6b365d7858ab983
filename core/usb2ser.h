// The device extension, the module's global tables and the routines of the
// driver core: entry, device creation, I/O accounting, Plug and Play, power.
#pragma once

#include "platform/serport.h"
#include "platform/usb.h"
#include "platform/wdm.h"

#define USB2SER_POOL_TAG ' mdW'  // "Wdm "

#define USB2SER_MAX_PORTS 256

// Pipe slots: the asynchronous transfers in flight, one per data pipe, and a
// second read on the bulk-in pipe queued behind the first: at 6,000,000 baud
// the chip's 256-byte FIFO fills in under half a millisecond, so a read the
// host controller reaches a frame or two late must find the next one already
// there. The bus ends the two in the order they were queued.
#define USB2SER_SLOT_INTERRUPT_IN 0
#define USB2SER_SLOT_BULK_OUT     1
#define USB2SER_SLOT_BULK_IN      2
#define USB2SER_SLOT_BULK_IN_NEXT 3
#define USB2SER_SLOT_COUNT        4

// ChipType: the classification of the device made at start.
#define CHIP_CLASS_COMM   0
#define CHIP_CLASS_VENDOR 1
#define CHIP_EXTENDED     2

// Fire-and-forget control requests in flight at once, at most.
#define USB2SER_MAX_CTRL_REQUESTS 32

#define USB2SER_PORT_SETTINGS_SIZE sizeof(SERPORT_SETTINGS)
#define USB2SER_CAPTURE_SIZE 256

typedef struct _USB2SER_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT TopOfStackDeviceObject;
    PDEVICE_OBJECT FunctionalDeviceObject;
    KEVENT RemoveEvent;     // synchronization; set when IoCount drops to 0
    KEVENT DataIdleEvent;   // notification; set while no data transfer is in flight
    KEVENT CtrlIdleEvent;   // notification; set while no fire-and-forget request is in flight
    WCHAR SymbolicLinkName[64];
    LONG IoCount;
    LONG DataIoCount;
    LONG CtrlIoCount;
    PKTHREAD ThreadObject;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo0;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo1;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    ULONG DevNode;
    LONG InstanceNumber;
    UCHAR PortSettings[USB2SER_PORT_SETTINGS_SIZE];
    LONG DevicePowerState;
    USHORT ControlLineState;
    USHORT ModemStatus;
    PIRP IrpSlot[USB2SER_SLOT_COUNT];
    // The fire-and-forget control requests in flight, each in an entry of its
    // own: removal cancels them as it cancels the slots.
    PIRP CtrlIrps[USB2SER_MAX_CTRL_REQUESTS];
    // The port number the tool's line codes reach the device at (gDevObj
    // entry): the bound one, until the port-index code replaces it.
    LONG PortIndex;
    // The port number the device is bound under: its entry in gDevObj, the
    // number its port driver's callbacks and its removal notice are given.
    LONG BoundPort;
    LONG ChipType;
    BOOLEAN PortOpen;
    BOOLEAN SingleInterface;
    USHORT VendorId;
    USHORT ProductId;
    KEVENT KillEvent;
    KEVENT WriteEvent;
    KEVENT ThreadExitEvent;
    BOOLEAN Removed;
    UCHAR RegisterShadow[3];
    BOOLEAN CaptureMode;
    UCHAR CaptureBuffer[USB2SER_CAPTURE_SIZE];
    LONG CaptureLength;
    KSPIN_LOCK CaptureLock;  // the appending against the fetch and the purge
    ULONG LastBaudRate;
    // The flow-control switches as last asked for, set again when the chip
    // has lost them.
    BOOLEAN DcrStateOn;
    BOOLEAN XonXoffStateOn;
    // The system power request whose power-up the worker thread finishes
    // with the restore (one at a time, as the power manager sends one system
    // request at a time), and whether the thread has ended (then nobody
    // takes it).
    PIRP PowerUpIrp;
    LONG ThreadGone;
    // Set when a read's pipe halted: the worker thread clears the stall and
    // arms the read again, at most USB2SER_MAX_READ_RECOVERIES times since
    // the last read that succeeded (ReadRecoveries counts them).
    LONG ReadsHalted;
    LONG ReadRecoveries;
    // A transmit chunk whose transfer failed on a halted pipe, kept for the
    // worker thread to send again (its unsent rest) once the stall is
    // cleared, at most USB2SER_MAX_WRITE_RETRIES times in a row; no other
    // chunk goes before it.
    PVOID FailedWrite;
    LONG WriteRetries;
    // Set while a start brings the device up: its port reset returns the
    // chip to its power-on line, and the port's chunks wait until the start
    // has given it the port's settings again. RestoredEvent (notification) is
    // signalled while it is clear.
    BOOLEAN Restoring;
    KEVENT RestoredEvent;
    // Hands the worker thread a job: a power-up to finish, reads to recover
    // or a chunk to send again.
    KEVENT JobEvent;
} USB2SER_EXTENSION, *PUSB2SER_EXTENSION;

static_assert(sizeof(((USB2SER_EXTENSION*)0)->DeviceDescriptor) == 18, "the 18-byte device descriptor");
static_assert(sizeof(((USB2SER_EXTENSION*)0)->PortSettings) == 48, "the 48-byte port settings");

// Module-wide globals: zero at load, written at PASSIVE_LEVEL without a lock,
// read at any level.
extern PDEVICE_OBJECT gDevObj[USB2SER_MAX_PORTS];
extern PSET_MSR_SHADOW pSetMSRShadow;
extern PSET_READ_QUEUE pSetReadQueue;
extern PCABLE_REMOVE pCableRemove;
extern PWRITE_OUT_QUEUE pWriteOutQueue;
extern LONG gExtBaudrateCnt;
extern ULONG AvailExtBaudRate[10][2];
extern const ULONG AvailBaudRate[33][2];

inline PUSB2SER_EXTENSION USB2SER_Extension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PUSB2SER_EXTENSION>(DeviceObject->DeviceExtension);
}

// The device that owns a COM port number, or null: the table has entries 0
// to 255 only, and a number outside them finds no device.
PDEVICE_OBJECT USB2SER_GetDeviceObject(ULONG Port);

// For the exports: the device of a port with a reference on it (IoCount)
// that keeps it until USB2SER_ReleasePort, or null when there is none or its
// removal has begun. Removal clears the port's entry, waits until no export
// is between its look-up and its reference, and then waits for the
// references on RemoveEvent.
PDEVICE_OBJECT USB2SER_ReferencePort(ULONG Port);
VOID USB2SER_ReleasePort(PDEVICE_OBJECT DeviceObject);
VOID USB2SER_WaitForPortLookups();
extern LONG gPortLookups;

// Waits at PASSIVE_LEVEL (a zero time-out also at DISPATCH_LEVEL) for any or
// all of the objects, for at most *Timeout (relative, in 100-ns units) or
// without limit when Timeout is NULL. Returns STATUS_WAIT_0 + the index of
// the object that ended a wait for any, STATUS_WAIT_0 for all, or
// STATUS_TIMEOUT; any other answer of the platform is waited through, for the
// rest of the time-out, while the thread can wait at all, and
// STATUS_CANT_WAIT is returned when it cannot (USB2SER_CanWait).
NTSTATUS USB2SER_Wait(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType, PLARGE_INTEGER Timeout);
// Whether the running thread's waits block: FALSE in a virtual machine other
// than the system one, where every wait answers at once. A path that puts a
// request in flight and must wait for it asks first.
BOOLEAN USB2SER_CanWait();
inline NTSTATUS USB2SER_WaitForEvent(PKEVENT Event, PLARGE_INTEGER Timeout) {
    PVOID object = Event;
    return USB2SER_Wait(1, &object, WaitAny, Timeout);
}

// Driver entry and dispatch.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI USB2SER_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
constexpr PDRIVER_DISPATCH USB2SER_Close = USB2SER_Create;
NTSTATUS NTAPI USB2SER_Process_Internal_IOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI USB2SER_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI USB2SER_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI USB2SER_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI USB2SER_Unload(PDRIVER_OBJECT DriverObject);

// Device creation and I/O accounting.
NTSTATUS NTAPI USB2SER_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS USB2SER_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
LONG USB2SER_IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG USB2SER_DecrementIoCount(PDEVICE_OBJECT DeviceObject);
VOID USB2SER_IncrementIoCount_Data(PDEVICE_OBJECT DeviceObject);
LONG USB2SER_DecrementIoCount_Data(PDEVICE_OBJECT DeviceObject);
VOID USB2SER_IncrementIoCount_Ctrl(PDEVICE_OBJECT DeviceObject);
LONG USB2SER_DecrementIoCount_Ctrl(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI USB2SER_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Power.
NTSTATUS USB2SER_PowerSetPower(PUSB2SER_EXTENSION Extension, PIRP Irp);
NTSTATUS USB2SER_DefaultPowerHandler(PUSB2SER_EXTENSION Extension, PIRP Irp);
NTSTATUS USB2SER_PassDownToNextPowerDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS USB2SER_SendDeviceSetPower(PUSB2SER_EXTENSION Extension, DEVICE_POWER_STATE State);
VOID SetPowerState(PUSB2SER_EXTENSION Extension, DEVICE_POWER_STATE State);
// Brings the chip back to what the port had, after a start or a power-up
// (PowerLost), and ends the restore.
VOID USB2SER_RestorePort(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerLost);
NTSTATUS NTAPI OnCompleteIncreaseSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI OnCompleteIncreaseDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// In the worker thread: restores the chip for a power-up handed over, if one
// is, and completes its power request.
VOID USB2SER_FinishPowerUp(PDEVICE_OBJECT DeviceObject);
VOID NTAPI OnCompleteDeviceSetPower(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus);

// Plug and Play.
VOID USB2SER_Cleanup(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI SerialSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS USB2SER_GetRegistryKeyValue(HANDLE Key, PCWSTR Name, ULONG NameLength, PVOID Data, ULONG DataLength);
NTSTATUS USB2SER_RemoveDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS USB2SER_CableRemove(ULONG Port);
