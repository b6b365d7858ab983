// Per-device registry keys (the hardware key and the driver key of each
// physical device object) and value queries in the published layouts.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm.h"

namespace host {

class Kernel;

class Registry {
public:
    explicit Registry(Kernel& kernel) : m_kernel(kernel) {}

    void set_value(PDEVICE_OBJECT pdo, ULONG key_type, std::string_view name, ULONG type,
                   std::vector<std::uint8_t> data);
    void set_dword(PDEVICE_OBJECT pdo, std::string_view name, ULONG value);
    void forget_device(PDEVICE_OBJECT pdo);
    // Makes IoOpenDeviceRegistryKey fail for the device with the status.
    void fail_open(PDEVICE_OBJECT pdo, NTSTATUS status);

    NTSTATUS open_device_key(PDEVICE_OBJECT device, ULONG key_type, PHANDLE handle);
    NTSTATUS query_value(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS info_class,
                         PVOID buffer, ULONG length, PULONG result_length);

private:
    struct Value {
        std::u16string name;
        ULONG type = REG_NONE;
        std::vector<std::uint8_t> data;
    };
    struct Key {
        std::map<std::u16string, Value> values;  // by upper-cased name
    };
    using KeyId = std::pair<PDEVICE_OBJECT, ULONG>;

    Key* key_of(HANDLE handle);

    Kernel& m_kernel;
    std::map<KeyId, Key> m_keys;
    std::map<PDEVICE_OBJECT, NTSTATUS> m_open_failures;
};

}  // namespace host
