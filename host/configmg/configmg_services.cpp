// The configuration manager's services as a driver calls them.
#include "host/kernel/kernel.h"

namespace {
host::ConfigManager& configmg() { return host::Kernel::current().configmg(); }
bool fails(const char* service) {
    return host::Kernel::current().faults().reached(host::FaultKind::ConfigManager, service);
}
}  // namespace

CONFIGRET CONFIGMG_Locate_DevNode(PDEVNODE DevNode, PCSTR DeviceId, ULONG Flags) {
    if (fails("CONFIGMG_Locate_DevNode")) return CR_OUT_OF_MEMORY;
    return configmg().locate(DevNode, DeviceId, Flags);
}

CONFIGRET CONFIGMG_Create_DevNode(PDEVNODE DevNode, PCSTR DeviceId, DEVNODE Parent, ULONG Flags) {
    if (fails("CONFIGMG_Create_DevNode")) return CR_OUT_OF_MEMORY;
    return configmg().create(DevNode, DeviceId, Parent, Flags);
}

CONFIGRET CONFIGMG_Add_Empty_Log_Conf(PLOG_CONF LogConf, DEVNODE DevNode, PRIORITY Priority, ULONG Flags) {
    if (fails("CONFIGMG_Add_Empty_Log_Conf")) return CR_OUT_OF_MEMORY;
    return configmg().add_empty_log_conf(LogConf, DevNode, Priority, Flags);
}

CONFIGRET CONFIGMG_Add_Res_Des(PRES_DES ResDes, LOG_CONF LogConf, RESOURCEID ResourceId, PVOID ResourceData,
                               ULONG ResourceLength, ULONG Flags) {
    if (fails("CONFIGMG_Add_Res_Des")) return CR_OUT_OF_MEMORY;
    return configmg().add_res_des(ResDes, LogConf, ResourceId, ResourceData, ResourceLength, Flags);
}

CONFIGRET CONFIGMG_Register_Enumerator(DEVNODE DevNode, CMENUMHANDLER Handler, ULONG Flags) {
    if (fails("CONFIGMG_Register_Enumerator")) return CR_OUT_OF_MEMORY;
    return configmg().register_enumerator(DevNode, Handler, Flags);
}

CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE DevNode, PCSTR SubKey, PCSTR ValueName, ULONG ExpectedType,
                                       PVOID Buffer, PULONG Length, ULONG Flags) {
    if (fails("CONFIGMG_Read_Registry_Value")) return CR_OUT_OF_MEMORY;
    return configmg().read_registry_value(DevNode, SubKey, ValueName, ExpectedType, Buffer, Length, Flags);
}

CONFIGRET CONFIGMG_Remove_SubTree(DEVNODE DevNode, ULONG Flags) {
    if (fails("CONFIGMG_Remove_SubTree")) return CR_OUT_OF_MEMORY;
    return configmg().remove_subtree(DevNode, Flags);
}
