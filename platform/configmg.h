// The Windows 9x configuration manager (CONFIGMG, device identifier 0x0033):
// the services a driver calls for device nodes, logical configurations,
// enumerators and registry values. Each returns a 16-bit CONFIGRET.
#pragma once

#include "ntdef.h"

TORVEX_C_BEGIN

typedef USHORT CONFIGRET;
typedef ULONG DEVNODE, *PDEVNODE;
typedef ULONG LOG_CONF, *PLOG_CONF;
typedef ULONG RES_DES, *PRES_DES;
typedef ULONG RESOURCEID;
typedef ULONG PRIORITY;
typedef ULONG CONFIGFUNC;
typedef ULONG SUBCONFIGFUNC;

#define CR_SUCCESS              0x00
#define CR_DEFAULT              0x01
#define CR_OUT_OF_MEMORY        0x02
#define CR_INVALID_POINTER      0x03
#define CR_INVALID_FLAG         0x04
#define CR_INVALID_DEVNODE      0x05
#define CR_INVALID_LOG_CONF     0x07
#define CR_NO_SUCH_DEVNODE      0x0D
#define CR_ALREADY_SUCH_DEVNODE 0x10
#define CR_FAILURE              0x13
#define CR_BUFFER_SMALL         0x1A
#define CR_WRONG_TYPE           0x1B
#define CR_REGISTRY_ERROR       0x1D
#define CR_INVALID_DATA         0x1F
#define CR_NO_SUCH_VALUE        0x25

// Configuration events an enumerator is called with.
#define CONFIG_FILTER          0
#define CONFIG_START           1
#define CONFIG_STOP            2
#define CONFIG_TEST            3
#define CONFIG_REMOVE          4
#define CONFIG_ENUMERATE       5
#define CONFIG_SETUP           6
#define CONFIG_CALLBACK        7
#define CONFIG_APM             8
#define CONFIG_TEST_FAILED     9
#define CONFIG_TEST_SUCCEEDED  10
#define CONFIG_VERIFY_DEVICE   11
#define CONFIG_PREREMOVE       12
#define CONFIG_SHUTDOWN        13
#define CONFIG_PREREMOVE2      14
#define CONFIG_READY           15

#define LCPRI_NORMAL           0x00003000
#define BASIC_LOG_CONF         0x00000000
#define ResType_IO             0x00000002
#define CM_REGISTRY_HARDWARE   0x00000000

// The services' numbers in the CONFIGMG service table.
#define CONFIGMG_SERVICE_LOCATE_DEVNODE        0x02
#define CONFIGMG_SERVICE_CREATE_DEVNODE        0x0B
#define CONFIGMG_SERVICE_REMOVE_SUBTREE        0x0D
#define CONFIGMG_SERVICE_REGISTER_ENUMERATOR   0x0F
#define CONFIGMG_SERVICE_ADD_EMPTY_LOG_CONF    0x18
#define CONFIGMG_SERVICE_ADD_RES_DES           0x1C
#define CONFIGMG_SERVICE_READ_REGISTRY_VALUE   0x3E

#pragma pack(push, 1)
typedef struct _IO_DES {
    USHORT IOD_Count;
    USHORT IOD_Type;
    USHORT IOD_Alloc_Base;
    USHORT IOD_Alloc_End;
    USHORT IOD_DesFlags;
    UCHAR IOD_Alloc_Alias;
    UCHAR IOD_Alloc_Decode;
} IO_DES;

typedef struct _IO_RANGE {
    USHORT IOR_Align;
    USHORT IOR_nPorts;
    USHORT IOR_Min;
    USHORT IOR_Max;
    USHORT IOR_RangeFlags;
    UCHAR IOR_Alias;
    UCHAR IOR_Decode;
} IO_RANGE;
#pragma pack(pop)

static_assert(sizeof(IO_DES) == 12, "the configuration manager's layout");
static_assert(sizeof(IO_RANGE) == 12, "the configuration manager's layout");

typedef CONFIGRET (CDECL *CMENUMHANDLER)(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE ToDevNode,
                                   DEVNODE AboutDevNode, ULONG Flags);

CONFIGRET CDECL CONFIGMG_Locate_DevNode(PDEVNODE DevNode, PCSTR DeviceId, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Create_DevNode(PDEVNODE DevNode, PCSTR DeviceId, DEVNODE Parent, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Add_Empty_Log_Conf(PLOG_CONF LogConf, DEVNODE DevNode, PRIORITY Priority, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Add_Res_Des(PRES_DES ResDes, LOG_CONF LogConf, RESOURCEID ResourceId, PVOID ResourceData,
                               ULONG ResourceLength, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Register_Enumerator(DEVNODE DevNode, CMENUMHANDLER Handler, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Read_Registry_Value(DEVNODE DevNode, PCSTR SubKey, PCSTR ValueName, ULONG ExpectedType,
                                       PVOID Buffer, PULONG Length, ULONG Flags);
CONFIGRET CDECL CONFIGMG_Remove_SubTree(DEVNODE DevNode, ULONG Flags);

TORVEX_C_END
