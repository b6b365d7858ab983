// The Windows 9x configuration manager: a tree of device nodes under a root,
// created by identifier, with logical configurations whose resource
// descriptors are kept byte for byte, registered enumerators, per-node
// registry values, and the class installer's part: the "PORTNAME" it assigns
// to a node identifier, kept in the registry for that identifier from then on.
// Any service can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/configmg.h"

namespace host {

class ConfigManager {
public:
    struct ResourceDescriptor {
        RES_DES handle = 0;
        RESOURCEID type = 0;
        std::vector<std::uint8_t> data;
    };
    struct LogicalConfiguration {
        LOG_CONF handle = 0;
        PRIORITY priority = 0;
        ULONG flags = 0;
        std::vector<ResourceDescriptor> resources;
    };
    // A registry value as the hardware key holds it: its type and its bytes
    // (a string's terminator is a byte of it, or missing).
    struct Value {
        ULONG type = 1;  // REG_SZ
        std::vector<std::uint8_t> data;
    };
    struct Node {
        DEVNODE handle = 0;
        std::string id;
        DEVNODE parent = 0;
        std::vector<LogicalConfiguration> configurations;
        CMENUMHANDLER enumerator = nullptr;
        ULONG enumerator_flags = 0;
        std::map<std::string, Value> values;  // the hardware key's values
    };

    ConfigManager();

    DEVNODE root() const { return kRoot; }
    // The live nodes other than the root, oldest first.
    std::vector<const Node*> nodes() const;
    const Node* find(const std::string& id) const;
    // The live node of this handle, or null.
    const Node* node(DEVNODE handle) const;

    // The class installer: the "PORTNAME" for nodes of this identifier, now
    // and when they are created; nullopt takes the value away (and the
    // installer gives none).
    void assign_port_name(const std::string& id, std::optional<std::string> name);
    // The same with a value of any type and bytes, as a broken installer or
    // a user's registry edit may leave it.
    void assign_port_value(const std::string& id, std::optional<Value> value);
    // On, a node created with an identifier that has no name yet is named
    // as the ports class installer names a new port: "COMn" with the lowest
    // n from 3 (COM1 and COM2 are the machine's own) that no identifier's
    // name holds. Off (the default), such a node has no "PORTNAME".
    void set_class_installer(bool on) { m_class_installer = on; }
    // Makes the service fail with `result`, `times` times (-1: until cleared).
    void fail(int service, CONFIGRET result, int times = -1);
    void clear_failures() { m_failures.clear(); }
    // Calls the node's enumerator with a configuration event, as the
    // configuration manager does; CR_DEFAULT when it has none.
    CONFIGRET send_event(DEVNODE node, CONFIGFUNC function, SUBCONFIGFUNC subfunction = 0);

    // The services.
    CONFIGRET locate(PDEVNODE node, PCSTR id, ULONG flags);
    CONFIGRET create(PDEVNODE node, PCSTR id, DEVNODE parent, ULONG flags);
    CONFIGRET add_empty_log_conf(PLOG_CONF conf, DEVNODE node, PRIORITY priority, ULONG flags);
    CONFIGRET add_res_des(PRES_DES des, LOG_CONF conf, RESOURCEID type, PVOID data, ULONG length, ULONG flags);
    CONFIGRET register_enumerator(DEVNODE node, CMENUMHANDLER handler, ULONG flags);
    CONFIGRET read_registry_value(DEVNODE node, PCSTR subkey, PCSTR name, ULONG type, PVOID buffer, PULONG length,
                                  ULONG flags);
    CONFIGRET remove_subtree(DEVNODE node, ULONG flags);

private:
    static constexpr DEVNODE kRoot = 1;
    std::optional<CONFIGRET> injected(int service);
    Node* node_of(DEVNODE handle);
    Value next_port_name() const;

    std::map<DEVNODE, Node> m_nodes;
    std::map<std::string, std::optional<Value>> m_port_names;  // by identifier, upper case
    bool m_class_installer = false;
    std::map<int, std::pair<CONFIGRET, int>> m_failures;
    ULONG m_next_handle = 2;
};

}  // namespace host
