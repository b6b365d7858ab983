// Kernel services of the Windows Driver Model that the driver calls: IRQL, pool,
// events and waits, threads and objects, the I/O manager, power, the registry,
// strings and debug output. Field names follow the published headers; layouts
// are the host's.
#pragma once

#include "ntdef.h"

TORVEX_C_BEGIN

// ---------------------------------------------------------------------------
// IRQL and processor modes

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG KPRIORITY;

#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;
typedef CCHAR KPROCESSOR_MODE;

KIRQL NTAPI KeGetCurrentIrql();

// Spin locks: held at DISPATCH_LEVEL, never recursively, never across a wait.
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
#if !defined(TORVEX_TARGET)
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
#endif

// ---------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Dispatcher objects: events and waits

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;

typedef struct _KWAIT_BLOCK {
    PVOID Reserved[6];
} KWAIT_BLOCK, *PKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);

// Timeout: null waits forever, negative is relative, positive is absolute
// system time, zero polls. All in units of 100 ns.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// ---------------------------------------------------------------------------
// Interlocked operations

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend);
LONG FASTCALL InterlockedDecrement(LONG volatile* Addend);
LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value);
LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
#if !defined(TORVEX_TARGET)
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comperand);
#endif

// ---------------------------------------------------------------------------
// Objects, handles and threads

typedef struct _KTHREAD {
    DISPATCHER_HEADER Header;
} KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef KTHREAD ETHREAD;
typedef ETHREAD* PETHREAD;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef VOID (NTAPI *PKSTART_ROUTINE)(PVOID StartContext);

#define STANDARD_RIGHTS_READ 0x00020000L
#define THREAD_ALL_ACCESS    0x001F03FFL
#define KEY_READ             0x00020019L
#define KEY_ALL_ACCESS       0x000F003FL

#define LOW_REALTIME_PRIORITY 16

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS NTAPI ZwClose(HANDLE Handle);
PKTHREAD NTAPI KeGetCurrentThread();
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);

// Work items: a routine run at PASSIVE_LEVEL in a system worker thread.
typedef VOID (NTAPI *PWORKER_THREAD_ROUTINE)(PVOID Parameter);
typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue } WORK_QUEUE_TYPE;
#define ExInitializeWorkItem(Item, Routine, Context) \
    ((Item)->WorkerRoutine = (Routine), (Item)->Parameter = (Context), (Item)->List.Flink = NULL)
VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// ---------------------------------------------------------------------------
// Power types

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7,
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5,
} DEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef enum _POWER_ACTION { PowerActionNone = 0, PowerActionSleep = 2, PowerActionShutdown = 4 } POWER_ACTION;

static_assert(sizeof(DEVICE_POWER_STATE) == 4, "power states are 32-bit");

// ---------------------------------------------------------------------------
// Plug and Play types

typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
} DEVICE_RELATION_TYPE;

typedef enum _BUS_QUERY_ID_TYPE {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3,
    BusQueryDeviceSerialNumber = 4,
} BUS_QUERY_ID_TYPE;

struct _DEVICE_OBJECT;

typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    struct _DEVICE_OBJECT* Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG Reserved : 16;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------
// I/O manager structures

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _IRP;
struct _DRIVER_OBJECT;

typedef NTSTATUS (NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS (NTAPI *PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                           PVOID Context);
typedef VOID (NTAPI *PDRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS (NTAPI *PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                       struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef VOID (NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef NTSTATUS (NTAPI *PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                       PUNICODE_STRING RegistryPath);

typedef struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG ExtensionFlags;
    struct _DEVICE_OBJECT* AttachedTo;
} DEVOBJ_EXTENSION, *PDEVOBJ_EXTENSION;

// DEVOBJ_EXTENSION.ExtensionFlags
#define DOE_DELETE_PENDING   0x02
#define DOE_REMOVE_PENDING   0x04

// The platform's objects, field for field in the platform's order: on the
// 32-bit target their offsets are the platform's (checked at the end of this
// file). Fields the driver never touches are kept as opaque bytes of the
// target's size.
typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    UCHAR Queue[40];  // the wait-context block of the device queue
    ULONG AlignmentRequirement;
    UCHAR DeviceQueue[20];
    UCHAR Dpc[32];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PDEVOBJ_EXTENSION DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

#define IRP_MJ_CREATE                   0x00
#define IRP_MJ_CLOSE                    0x02
#define IRP_MJ_READ                     0x03
#define IRP_MJ_WRITE                    0x04
#define IRP_MJ_FLUSH_BUFFERS            0x09
#define IRP_MJ_DEVICE_CONTROL           0x0E
#define IRP_MJ_INTERNAL_DEVICE_CONTROL  0x0F
#define IRP_MJ_SHUTDOWN                 0x10
#define IRP_MJ_CLEANUP                  0x12
#define IRP_MJ_POWER                    0x16
#define IRP_MJ_SYSTEM_CONTROL           0x17
#define IRP_MJ_PNP                      0x1B
#define IRP_MJ_MAXIMUM_FUNCTION         0x1B

#define IRP_MN_START_DEVICE             0x00
#define IRP_MN_QUERY_REMOVE_DEVICE      0x01
#define IRP_MN_REMOVE_DEVICE            0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE     0x03
#define IRP_MN_STOP_DEVICE              0x04
#define IRP_MN_QUERY_STOP_DEVICE        0x05
#define IRP_MN_CANCEL_STOP_DEVICE       0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS   0x07
#define IRP_MN_QUERY_CAPABILITIES       0x09
#define IRP_MN_QUERY_ID                 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE   0x14
#define IRP_MN_SURPRISE_REMOVAL         0x17
#define IRP_MN_QUERY_LEGACY_BUS_INFORMATION 0x18

#define IRP_MN_WAIT_WAKE                0x00
#define IRP_MN_POWER_SEQUENCE           0x01
#define IRP_MN_SET_POWER                0x02
#define IRP_MN_QUERY_POWER              0x03

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// Device object flags.
#define DO_EXCLUSIVE            0x00000008
#define DO_DIRECT_IO            0x00000010
#define DO_BUFFERED_IO          0x00000004
#define DO_DEVICE_INITIALIZING  0x00000080
#define DO_POWER_PAGABLE        0x00002000

#define FILE_DEVICE_UNKNOWN     0x00000022
#define FILE_DEVICE_SERIAL_PORT 0x0000001B
#define FILE_DEVICE_BUS_EXTENDER 0x0000002A

// Device control codes.
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#define FILE_ANY_ACCESS   0

#if defined(TORVEX_IMAGE_LAYOUT)
#pragma pack(push, 4)  // as the platform packs it in the image
#endif
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            PVOID AllocatedResources;
            PVOID AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#if defined(TORVEX_IMAGE_LAYOUT)
#pragma pack(pop)
#endif

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED  0x01
#define SL_INVOKE_ON_CANCEL  0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR   0x80

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        UCHAR Apc[48];  // the request's kernel APC
    } Tail;
} IRP, *PIRP;

#define IoCallDriver(d, i) IofCallDriver(d, i)
#define IoCompleteRequest(i, b) IofCompleteRequest(i, b)

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock);

// Stack-location helpers. The host checks each of them: a helper that would
// step outside the IRP's stack locations stops the run.
#if !defined(TORVEX_TARGET)
PIO_STACK_LOCATION NTAPI IoGetCurrentIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION NTAPI IoGetNextIrpStackLocation(PIRP Irp);
VOID NTAPI IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
VOID NTAPI IoSkipCurrentIrpStackLocation(PIRP Irp);
#endif
// Makes the next stack location the current one: an originator's own location
// in an IRP it allocated with one location more than the stack below needs.
#if !defined(TORVEX_TARGET)
VOID NTAPI IoSetNextIrpStackLocation(PIRP Irp);
VOID NTAPI IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel);
VOID NTAPI IoMarkIrpPending(PIRP Irp);
PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
#endif

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

// ---------------------------------------------------------------------------
// Power

typedef VOID (NTAPI *PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus);

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, PIRP* Irp);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                            POWER_STATE State);

// TRUE when the platform's WDM is at least the version asked: Windows 98
// (and 98 SE) are 1.00, Windows Me 1.05, Windows 2000 1.10.
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

// ---------------------------------------------------------------------------
// Registry

#define PLUGPLAY_REGKEY_DEVICE  1
#define PLUGPLAY_REGKEY_DRIVER  2

#define REG_NONE      0
#define REG_SZ        1
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of this structure
    ULONG DataLength;
    ULONG NameLength;  // bytes, without a terminator
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20, "published layout");
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "published layout");

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);

// ---------------------------------------------------------------------------
// Strings and debug output

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
#if !defined(TORVEX_TARGET)
VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length);
VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length);
VOID NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill);
#endif
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
ULONG CDECL DbgPrint(PCSTR Format, ...);


TORVEX_C_END

#if defined(TORVEX_TARGET)
// On the target these are the platform's inline routines and macros: the
// stack-location helpers work on the IRP directly, the spin-lock and IRQL
// routines are the hardware layer's __fastcall exports, the pointer-sized
// interlocked operations are the 32-bit ones, and the memory routines are the
// C runtime's.
extern "C" {
void* CDECL memcpy(void* Destination, const void* Source, SIZE_T Length);
void* CDECL memset(void* Destination, int Fill, SIZE_T Length);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
}

inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { *OldIrql = KfAcquireSpinLock(SpinLock); }
inline VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KfReleaseSpinLock(SpinLock, NewIrql); }
inline VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }
inline VOID KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }

inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return reinterpret_cast<PVOID>(InterlockedExchange(reinterpret_cast<LONG volatile*>(Target),
                                                       static_cast<LONG>(reinterpret_cast<LONG_PTR>(Value))));
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    return reinterpret_cast<PVOID>(InterlockedCompareExchange(
        reinterpret_cast<LONG volatile*>(Destination), static_cast<LONG>(reinterpret_cast<LONG_PTR>(Exchange)),
        static_cast<LONG>(reinterpret_cast<LONG_PTR>(Comperand))));
}

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
// Copies the location up to (not including) the completion routine and its
// context, and clears the control flags, as the platform's macro does.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    memcpy(next, current, reinterpret_cast<PUCHAR>(&current->CompletionRoutine) - reinterpret_cast<PUCHAR>(current));
    next->Control = 0;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) { memcpy(Destination, Source, Length); }
inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { memset(Destination, 0, Length); }
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { memset(Destination, Fill, Length); }

// The 32-bit platform's layouts, where the driver or the routines above reach
// into the objects.
static_assert(sizeof(IO_STACK_LOCATION) == 0x24 && __builtin_offsetof(IO_STACK_LOCATION, Parameters) == 0x04 &&
                  __builtin_offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14 &&
                  __builtin_offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x1C,
              "the platform's stack location");
static_assert(sizeof(IRP) == 0x70 && __builtin_offsetof(IRP, AssociatedIrp) == 0x0C && __builtin_offsetof(IRP, IoStatus) == 0x18 &&
                  __builtin_offsetof(IRP, PendingReturned) == 0x21 && __builtin_offsetof(IRP, CurrentLocation) == 0x23 &&
                  __builtin_offsetof(IRP, Cancel) == 0x24 && __builtin_offsetof(IRP, CancelRoutine) == 0x38 &&
                  __builtin_offsetof(IRP, UserBuffer) == 0x3C && __builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60,
              "the platform's IRP");
static_assert(sizeof(DEVICE_OBJECT) == 0xB8 && __builtin_offsetof(DEVICE_OBJECT, Flags) == 0x1C &&
                  __builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28 && __builtin_offsetof(DEVICE_OBJECT, StackSize) == 0x30 &&
                  __builtin_offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0xB0,
              "the platform's device object");
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverExtension) == 0x18 && __builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x34 &&
                  __builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x38 && sizeof(DRIVER_OBJECT) == 0xA8,
              "the platform's driver object");
static_assert(sizeof(KEVENT) == 0x10 && sizeof(IO_STATUS_BLOCK) == 8 && sizeof(WORK_QUEUE_ITEM) == 0x10 &&
                  sizeof(UNICODE_STRING) == 8 && sizeof(DEVICE_CAPABILITIES) == 0x40,
              "the platform's kernel objects");
#endif
