#include "legacy/devnode.h"

#include "platform/crt.h"

namespace {

const ULONG kIdentifierSize = 64;
const ULONG kPortNameSize = 64;
const USHORT kAnyAlignment = 0xFFFF;

// One block of eight I/O ports: the blocks of COM1 to COM4 first, then any.
struct USB2SER_IO_REQUIREMENT {
    IO_DES Header;
    IO_RANGE Ranges[5];
};
static_assert(sizeof(USB2SER_IO_REQUIREMENT) == 72, "the 72-byte I/O descriptor");

// The port number in a "PORTNAME" value such as "COM12": one to three decimal
// digits at positions 3 to 5 (the first three characters are not compared).
// FALSE when there is no digit at position 3 or the number is not a gDevObj index.
BOOLEAN USB2SER_ParsePortName(const CHAR* Name, ULONG Length, PLONG Port) {
    LONG number = 0;
    ULONG digits = 0;
    for (ULONG position = 3; position < 6 && position < Length; ++position) {
        CHAR c = Name[position];
        if (c < '0' || c > '9') break;
        number = number * 10 + (c - '0');
        ++digits;
    }
    if (digits == 0 || number >= USB2SER_MAX_PORTS) return FALSE;
    *Port = number;
    return TRUE;
}

}  // namespace

// At PASSIVE_LEVEL. The device keeps one node from its first successful
// creation until the node is deleted: later starts and device-relations
// queries find `DevNode` set and create no other.
BOOLEAN USB2SER_CreateDevNode(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (ext->VendorId == 0 && ext->ProductId == 0) return FALSE;
    if (ext->DevNode != 0) return TRUE;

    DEVNODE root;
    if (CONFIGMG_Locate_DevNode(&root, NULL, 0) != CR_SUCCESS) return FALSE;
    CHAR identifier[kIdentifierSize];
    sprintf(identifier, "USBPorts\\VID_%04X&PID_%04X\\%4.4d", ext->VendorId, ext->ProductId, ext->InstanceNumber - 1);
    DEVNODE node;
    const CONFIGRET created = CONFIGMG_Create_DevNode(&node, identifier, root, 0);
    // A node of this identifier is this device's own, left by its removal
    // while the port was open (a live device of the driver has another
    // instance number): it is taken back as it is, with its configuration,
    // its enumerator and its port name.
    if (created == CR_ALREADY_SUCH_DEVNODE && CONFIGMG_Locate_DevNode(&node, identifier, 0) == CR_SUCCESS) {
        ext->DevNode = node;
        return TRUE;
    }
    if (created != CR_SUCCESS) return FALSE;
    ext->DevNode = node;
    if (AddLogConfig(DeviceObject) == CR_SUCCESS &&
        CONFIGMG_Register_Enumerator(ext->DevNode, EnumHandler, 1) == CR_SUCCESS) {
        return TRUE;
    }
    // A node half set up is not kept: the next start or query tries again.
    if (CONFIGMG_Remove_SubTree(node, 0) == CR_SUCCESS) ext->DevNode = 0;
    return FALSE;
}

CONFIGRET AddLogConfig(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_IO_REQUIREMENT requirement;
    RtlZeroMemory(&requirement, sizeof(requirement));
    requirement.Header.IOD_Count = 5;
    requirement.Header.IOD_Type = sizeof(IO_RANGE);
    const USHORT bases[5][2] = {{0x3F8, 0x3FF}, {0x2F8, 0x2FF}, {0x3E8, 0x3EF}, {0x2E8, 0x2EF}, {0x0000, 0xFFFF}};
    for (ULONG i = 0; i < 5; ++i) {
        IO_RANGE& range = requirement.Ranges[i];
        range.IOR_Align = kAnyAlignment;
        range.IOR_nPorts = 8;
        range.IOR_Min = bases[i][0];
        range.IOR_Max = bases[i][1];
        range.IOR_RangeFlags = 0;
        range.IOR_Alias = 0xFF;
        range.IOR_Decode = 0xFF;
    }
    LOG_CONF configuration;
    CONFIGRET result = CONFIGMG_Add_Empty_Log_Conf(&configuration, ext->DevNode, LCPRI_NORMAL, BASIC_LOG_CONF);
    if (result != CR_SUCCESS) return result;
    RES_DES descriptor;
    CONFIGMG_Add_Res_Des(&descriptor, configuration, ResType_IO, &requirement, sizeof(requirement), 0);
    return CR_SUCCESS;
}

// Called by the configuration manager at any time; keeps no state.
CONFIGRET CDECL EnumHandler(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE ToDevNode, DEVNODE AboutDevNode,
                      ULONG Flags) {
    (void)SubFunction;
    (void)ToDevNode;
    (void)AboutDevNode;
    (void)Flags;
    switch (Function) {
    case CONFIG_FILTER:
    case CONFIG_START:
    case CONFIG_STOP:
    case CONFIG_TEST:
    case CONFIG_REMOVE:
    case CONFIG_ENUMERATE:
    case CONFIG_SETUP:
    case CONFIG_TEST_SUCCEEDED:
    case CONFIG_READY:
        return CR_SUCCESS;
    default:
        return CR_DEFAULT;
    }
}

// Binds the device to its COM port number. A name that cannot be read, or
// that holds no usable number, leaves the device under port 3, in the table
// only when that entry is free.
ULONG USB2SER_QueryCOMPort(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    CHAR name[kPortNameSize];
    RtlZeroMemory(name, sizeof(name));
    ULONG length = 0;
    CONFIGMG_Read_Registry_Value(ext->DevNode, NULL, "PORTNAME", 1, NULL, &length, CM_REGISTRY_HARDWARE);
    length = sizeof(name);
    CONFIGRET result =
        CONFIGMG_Read_Registry_Value(ext->DevNode, NULL, "PORTNAME", 1, name, &length, CM_REGISTRY_HARDWARE);
    LONG port = USB2SER_DEFAULT_PORT;
    if (result == CR_SUCCESS && !USB2SER_ParsePortName(name, length < sizeof(name) ? length : sizeof(name), &port)) {
        result = CR_INVALID_DATA;
    }
    USB2SER_SetPortIndex(DeviceObject, port, result == CR_SUCCESS);
    return result == CR_SUCCESS ? 0 : result;
}

VOID USB2SER_SetPortIndex(PDEVICE_OBJECT DeviceObject, LONG Port, BOOLEAN Take) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (ext->BoundPort != Port) USB2SER_ReleasePortEntry(DeviceObject);
    ext->BoundPort = Port;
    ext->PortIndex = Port;
    // Of two devices given the same name the later takes the entry, but not
    // from a device whose port is open: that port would lose its device
    // while in use. The later then waits for its next binding. The look-up
    // is counted as the exports' are, so the holder's removal, having
    // cleared its entry, waits for it before the device object goes.
    InterlockedIncrement(&gPortLookups);
    PDEVICE_OBJECT holder = gDevObj[Port];
    if (holder == NULL || (Take && !USB2SER_Extension(holder)->PortOpen)) gDevObj[Port] = DeviceObject;
    InterlockedDecrement(&gPortLookups);
}

// Clears the device's table entry (only its own: another device may hold the
// number now) and removes its node; a node that could not be removed stays
// named in DevNode.
BOOLEAN USB2SER_DeleteDevNode(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_ReleasePortEntry(DeviceObject);
    if (CONFIGMG_Remove_SubTree(ext->DevNode, 0) != CR_SUCCESS) return FALSE;
    ext->DevNode = 0;  // names no node now: a later start creates one again
    return TRUE;
}

VOID USB2SER_ReleasePortEntry(PDEVICE_OBJECT DeviceObject) {
    for (ULONG port = 0; port < USB2SER_MAX_PORTS; ++port) {
        if (gDevObj[port] == DeviceObject) gDevObj[port] = NULL;
    }
}
