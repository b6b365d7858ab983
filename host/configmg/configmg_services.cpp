// The configuration manager's services as a driver calls them.
#include "host/kernel/kernel.h"

namespace {
host::ConfigManager& configmg() { return host::Kernel::current().configmg(); }
}  // namespace

CONFIGRET CONFIGMG_Locate_DevNode(PDEVNODE DevNode, PCSTR DeviceId, ULONG Flags) {
    return configmg().locate(DevNode, DeviceId, Flags);
}

CONFIGRET CONFIGMG_Create_DevNode(PDEVNODE DevNode, PCSTR DeviceId, DEVNODE Parent, ULONG Flags) {
    return configmg().create(DevNode, DeviceId, Parent, Flags);
}

CONFIGRET CONFIGMG_Add_Empty_Log_Conf(PLOG_CONF LogConf, DEVNODE DevNode, PRIORITY Priority, ULONG Flags) {
    return configmg().add_empty_log_conf(LogConf, DevNode, Priority, Flags);
}

CONFIGRET CONFIGMG_Add_Res_Des(PRES_DES ResDes, LOG_CONF LogConf, RESOURCEID ResourceId, PVOID ResourceData,
                               ULONG ResourceLength, ULONG Flags) {
    return configmg().add_res_des(ResDes, LogConf, ResourceId, ResourceData, ResourceLength, Flags);
}

CONFIGRET CONFIGMG_Register_Enumerator(DEVNODE DevNode, CMENUMHANDLER Handler, ULONG Flags) {
    return configmg().register_enumerator(DevNode, Handler, Flags);
}

CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE DevNode, PCSTR SubKey, PCSTR ValueName, ULONG ExpectedType,
                                       PVOID Buffer, PULONG Length, ULONG Flags) {
    return configmg().read_registry_value(DevNode, SubKey, ValueName, ExpectedType, Buffer, Length, Flags);
}

CONFIGRET CONFIGMG_Remove_SubTree(DEVNODE DevNode, ULONG Flags) { return configmg().remove_subtree(DevNode, Flags); }
