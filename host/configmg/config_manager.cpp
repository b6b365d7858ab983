#include "host/configmg/config_manager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace host {

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    return text;
}

// A string value as the registry holds it: its bytes and its terminator.
ConfigManager::Value string_value(const std::string& text) {
    return ConfigManager::Value{1, std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1)};
}

}  // namespace

ConfigManager::ConfigManager() {
    Node root;
    root.handle = kRoot;
    root.id = "HTREE\\ROOT\\0";
    m_nodes[kRoot] = root;
}

std::vector<const ConfigManager::Node*> ConfigManager::nodes() const {
    std::vector<const Node*> out;
    for (auto& [handle, node] : m_nodes) {
        if (handle != kRoot) out.push_back(&node);
    }
    return out;
}

const ConfigManager::Node* ConfigManager::find(const std::string& id) const {
    for (auto& [handle, node] : m_nodes) {
        if (upper(node.id) == upper(id)) return &node;
    }
    return nullptr;
}

void ConfigManager::assign_port_name(const std::string& id, std::optional<std::string> name) {
    std::optional<Value> value;
    if (name) value = string_value(*name);
    assign_port_value(id, std::move(value));
}

void ConfigManager::assign_port_value(const std::string& id, std::optional<Value> value) {
    m_port_names[upper(id)] = value;
    for (auto& [handle, node] : m_nodes) {
        if (upper(node.id) != upper(id)) continue;
        if (value) {
            node.values["PORTNAME"] = *value;
        } else {
            node.values.erase("PORTNAME");
        }
    }
}

void ConfigManager::fail(int service, CONFIGRET result, int times) { m_failures[service] = {result, times}; }

std::optional<CONFIGRET> ConfigManager::injected(int service) {
    auto it = m_failures.find(service);
    if (it == m_failures.end()) return std::nullopt;
    CONFIGRET result = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) m_failures.erase(it);
    return result;
}

ConfigManager::Value ConfigManager::next_port_name() const {
    std::set<unsigned long> taken;
    for (const auto& [id, value] : m_port_names) {
        if (!value || value->data.size() < 4) continue;
        const std::string text(value->data.begin(), value->data.end());
        if (upper(text.substr(0, 3)) == "COM") taken.insert(std::strtoul(text.c_str() + 3, nullptr, 10));
    }
    unsigned long number = 3;
    while (taken.count(number) != 0) ++number;
    return string_value("COM" + std::to_string(number));
}

const ConfigManager::Node* ConfigManager::node(DEVNODE handle) const {
    auto it = m_nodes.find(handle);
    return it == m_nodes.end() ? nullptr : &it->second;
}

ConfigManager::Node* ConfigManager::node_of(DEVNODE handle) {
    return const_cast<Node*>(std::as_const(*this).node(handle));
}

CONFIGRET ConfigManager::send_event(DEVNODE handle, CONFIGFUNC function, SUBCONFIGFUNC subfunction) {
    Node* node = node_of(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    if (node->enumerator == nullptr) return CR_DEFAULT;
    return node->enumerator(function, subfunction, handle, handle, 0);
}

CONFIGRET ConfigManager::locate(PDEVNODE node, PCSTR id, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_LOCATE_DEVNODE)) return *failure;
    if (node == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (id == nullptr || *id == '\0') {
        *node = kRoot;
        return CR_SUCCESS;
    }
    const Node* found = find(id);
    if (found == nullptr) return CR_NO_SUCH_DEVNODE;
    *node = found->handle;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::create(PDEVNODE node, PCSTR id, DEVNODE parent, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_CREATE_DEVNODE)) return *failure;
    if (node == nullptr || id == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (node_of(parent) == nullptr) return CR_INVALID_DEVNODE;
    if (find(id) != nullptr) return CR_ALREADY_SUCH_DEVNODE;
    Node created;
    created.handle = m_next_handle++;
    created.id = id;
    created.parent = parent;
    auto name = m_port_names.find(upper(created.id));
    if (name == m_port_names.end() && m_class_installer) {
        name = m_port_names.emplace(upper(created.id), next_port_name()).first;
    }
    if (name != m_port_names.end() && name->second) created.values["PORTNAME"] = *name->second;
    m_nodes[created.handle] = created;
    *node = created.handle;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::add_empty_log_conf(PLOG_CONF conf, DEVNODE handle, PRIORITY priority, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_ADD_EMPTY_LOG_CONF)) return *failure;
    if (conf == nullptr) return CR_INVALID_POINTER;
    Node* node = node_of(handle);
    if (node == nullptr || handle == kRoot) return CR_INVALID_DEVNODE;
    LogicalConfiguration added;
    added.handle = m_next_handle++;
    added.priority = priority;
    added.flags = flags;
    node->configurations.push_back(added);
    *conf = added.handle;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::add_res_des(PRES_DES des, LOG_CONF conf, RESOURCEID type, PVOID data, ULONG length,
                                     ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_ADD_RES_DES)) return *failure;
    if (des == nullptr || (data == nullptr && length != 0)) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    for (auto& [handle, node] : m_nodes) {
        for (LogicalConfiguration& configuration : node.configurations) {
            if (configuration.handle != conf) continue;
            ResourceDescriptor added;
            added.handle = m_next_handle++;
            added.type = type;
            auto* bytes = static_cast<const std::uint8_t*>(data);
            added.data.assign(bytes, bytes + length);
            configuration.resources.push_back(added);
            *des = added.handle;
            return CR_SUCCESS;
        }
    }
    return CR_INVALID_LOG_CONF;
}

CONFIGRET ConfigManager::register_enumerator(DEVNODE handle, CMENUMHANDLER handler, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_REGISTER_ENUMERATOR)) return *failure;
    Node* node = node_of(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    if (handler == nullptr) return CR_INVALID_POINTER;
    node->enumerator = handler;
    node->enumerator_flags = flags;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::read_registry_value(DEVNODE handle, PCSTR subkey, PCSTR name, ULONG type, PVOID buffer,
                                             PULONG length, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_READ_REGISTRY_VALUE)) return *failure;
    Node* node = node_of(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    if (name == nullptr || length == nullptr) return CR_INVALID_POINTER;
    if (subkey != nullptr || flags != CM_REGISTRY_HARDWARE || (type != 1 && type != 3)) return CR_INVALID_DATA;
    auto it = node->values.find(upper(name));
    if (it == node->values.end()) return CR_NO_SUCH_VALUE;
    // The value as it is stored: no terminator is added to a string that
    // lacks one, and one of another type than asked for is not read.
    if (it->second.type != type) return CR_WRONG_TYPE;
    const ULONG needed = static_cast<ULONG>(it->second.data.size());
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        return CR_BUFFER_SMALL;
    }
    if (needed != 0) std::memcpy(buffer, it->second.data.data(), needed);
    *length = needed;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::remove_subtree(DEVNODE handle, ULONG flags) {
    if (auto failure = injected(CONFIGMG_SERVICE_REMOVE_SUBTREE)) return *failure;
    if (handle == kRoot || node_of(handle) == nullptr) return CR_INVALID_DEVNODE;
    if (flags != 0) return CR_INVALID_FLAG;
    std::vector<DEVNODE> doomed{handle};
    for (std::size_t i = 0; i < doomed.size(); ++i) {
        for (auto& [child, node] : m_nodes) {
            if (node.parent == doomed[i]) doomed.push_back(child);
        }
    }
    for (DEVNODE gone : doomed) m_nodes.erase(gone);
    return CR_SUCCESS;
}

}  // namespace host
