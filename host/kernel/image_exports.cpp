#include "host/kernel/image_exports.h"

#include <cstring>

#include "platform/configmg.h"
#include "platform/crt.h"
#include "platform/usb.h"
#include "platform/wdm.h"

namespace host {

namespace {

// The routines the platform's headers make inline or macros on the host's
// side: the hardware layer's __fastcall spin-lock and IRQL routines, which the
// host has as the KeXxx ones, and the C runtime's memory routines, which the
// host has as the RtlXxx ones.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old;
    KeRaiseIrql(NewIrql, &old);
    return old;
}
VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }
void* CDECL Memcpy(void* Destination, const void* Source, SIZE_T Length) {
    RtlCopyMemory(Destination, Source, Length);
    return Destination;
}
void* CDECL Memset(void* Destination, int Fill, SIZE_T Length) {
    RtlFillMemory(Destination, Length, static_cast<UCHAR>(Fill));
    return Destination;
}

// The platform's compiler returns a structure of up to 8 bytes in EAX:EDX;
// i386 System V returns one through memory whose address the caller passes.
// PoSetPowerState is the one routine that returns a structure (a 4-byte union).
ULONG NTAPI PoSetPowerStateInEax(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    static_assert(sizeof(POWER_STATE) == sizeof(ULONG));
    const POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
    ULONG value;
    std::memcpy(&value, &previous, sizeof value);
    return value;
}

#define EXPORT(module, routine) {module, #routine, reinterpret_cast<void*>(&routine)}
#define EXPORT_AS(module, name, routine) {module, name, reinterpret_cast<void*>(&routine)}

const ImageExport kExports[] = {
    EXPORT("ntoskrnl.exe", DbgPrint),
    EXPORT("ntoskrnl.exe", ExAllocatePoolWithTag),
    EXPORT("ntoskrnl.exe", ExFreePool),
    EXPORT("ntoskrnl.exe", ExQueueWorkItem),
    EXPORT("ntoskrnl.exe", InterlockedCompareExchange),
    EXPORT("ntoskrnl.exe", InterlockedDecrement),
    EXPORT("ntoskrnl.exe", InterlockedExchange),
    EXPORT("ntoskrnl.exe", InterlockedIncrement),
    EXPORT("ntoskrnl.exe", IoAllocateIrp),
    EXPORT("ntoskrnl.exe", IoAttachDeviceToDeviceStack),
    EXPORT("ntoskrnl.exe", IoBuildDeviceIoControlRequest),
    EXPORT("ntoskrnl.exe", IoCancelIrp),
    EXPORT("ntoskrnl.exe", IoCreateDevice),
    EXPORT("ntoskrnl.exe", IoCreateSymbolicLink),
    EXPORT("ntoskrnl.exe", IoDeleteDevice),
    EXPORT("ntoskrnl.exe", IoDeleteSymbolicLink),
    EXPORT("ntoskrnl.exe", IoDetachDevice),
    EXPORT("ntoskrnl.exe", IoFreeIrp),
    EXPORT("ntoskrnl.exe", IoIsWdmVersionAvailable),
    EXPORT("ntoskrnl.exe", IoOpenDeviceRegistryKey),
    EXPORT("ntoskrnl.exe", IofCallDriver),
    EXPORT("ntoskrnl.exe", IofCompleteRequest),
    EXPORT("ntoskrnl.exe", KeClearEvent),
    EXPORT("ntoskrnl.exe", KeDelayExecutionThread),
    EXPORT("ntoskrnl.exe", KeGetCurrentThread),
    EXPORT("ntoskrnl.exe", KeInitializeEvent),
    EXPORT("ntoskrnl.exe", KeInitializeSpinLock),
    EXPORT("ntoskrnl.exe", KeQuerySystemTime),
    EXPORT("ntoskrnl.exe", KeSetEvent),
    EXPORT("ntoskrnl.exe", KeSetPriorityThread),
    EXPORT("ntoskrnl.exe", KeWaitForMultipleObjects),
    EXPORT("ntoskrnl.exe", KeWaitForSingleObject),
    EXPORT("ntoskrnl.exe", ObReferenceObjectByHandle),
    EXPORT("ntoskrnl.exe", ObfDereferenceObject),
    EXPORT("ntoskrnl.exe", PoCallDriver),
    EXPORT("ntoskrnl.exe", PoRequestPowerIrp),
    EXPORT_AS("ntoskrnl.exe", "PoSetPowerState", PoSetPowerStateInEax),
    EXPORT("ntoskrnl.exe", PoStartNextPowerIrp),
    EXPORT("ntoskrnl.exe", PsCreateSystemThread),
    EXPORT("ntoskrnl.exe", PsTerminateSystemThread),
    EXPORT("ntoskrnl.exe", RtlInitUnicodeString),
    EXPORT("ntoskrnl.exe", ZwClose),
    EXPORT("ntoskrnl.exe", ZwQueryValueKey),
    EXPORT_AS("ntoskrnl.exe", "memcpy", Memcpy),
    EXPORT_AS("ntoskrnl.exe", "memset", Memset),
    EXPORT_AS("ntoskrnl.exe", "sprintf", KrtSprintf),
    EXPORT("HAL.dll", KeGetCurrentIrql),
    EXPORT("HAL.dll", KfAcquireSpinLock),
    EXPORT("HAL.dll", KfLowerIrql),
    EXPORT("HAL.dll", KfRaiseIrql),
    EXPORT("HAL.dll", KfReleaseSpinLock),
    EXPORT_AS("USBD.SYS", "_USBD_CreateConfigurationRequestEx@8", USBD_CreateConfigurationRequestEx),
    EXPORT_AS("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28", USBD_ParseConfigurationDescriptorEx),
};

// The configuration manager's services, each in the slot a patched call site
// goes through.
struct VxdService {
    std::uint16_t device;
    std::uint16_t service;
    void* address;
};
VxdService g_vxd_services[] = {
    {0x0033, CONFIGMG_SERVICE_LOCATE_DEVNODE, reinterpret_cast<void*>(&CONFIGMG_Locate_DevNode)},
    {0x0033, CONFIGMG_SERVICE_CREATE_DEVNODE, reinterpret_cast<void*>(&CONFIGMG_Create_DevNode)},
    {0x0033, CONFIGMG_SERVICE_REMOVE_SUBTREE, reinterpret_cast<void*>(&CONFIGMG_Remove_SubTree)},
    {0x0033, CONFIGMG_SERVICE_REGISTER_ENUMERATOR, reinterpret_cast<void*>(&CONFIGMG_Register_Enumerator)},
    {0x0033, CONFIGMG_SERVICE_ADD_EMPTY_LOG_CONF, reinterpret_cast<void*>(&CONFIGMG_Add_Empty_Log_Conf)},
    {0x0033, CONFIGMG_SERVICE_ADD_RES_DES, reinterpret_cast<void*>(&CONFIGMG_Add_Res_Des)},
    {0x0033, CONFIGMG_SERVICE_READ_REGISTRY_VALUE, reinterpret_cast<void*>(&CONFIGMG_Read_Registry_Value)},
};

}  // namespace

std::span<const ImageExport> image_exports() { return kExports; }

void* const* vxd_service(std::uint16_t device, std::uint16_t service) {
    for (const VxdService& entry : g_vxd_services) {
        if (entry.device == device && entry.service == service) return &entry.address;
    }
    return nullptr;
}

}  // namespace host
