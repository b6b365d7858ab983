#include "host/kernel/registry.h"

#include <algorithm>
#include <cstring>

#include "host/kernel/kernel.h"

namespace host {

namespace {

std::u16string upper(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

ULONG align_ulong(ULONG offset) { return (offset + 3u) & ~3u; }

}  // namespace

void Registry::set_value(PDEVICE_OBJECT pdo, ULONG key_type, std::string_view name, ULONG type,
                         std::vector<std::uint8_t> data) {
    std::u16string wide = to_u16(name);
    m_keys[{pdo, key_type}].values[upper(wide)] = Value{wide, type, std::move(data)};
}

void Registry::set_dword(PDEVICE_OBJECT pdo, std::string_view name, ULONG value) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    set_value(pdo, PLUGPLAY_REGKEY_DEVICE, name, REG_DWORD, std::move(data));
}

void Registry::forget_device(PDEVICE_OBJECT pdo) {
    std::erase_if(m_keys, [&](auto& entry) { return entry.first.first == pdo; });
    m_open_failures.erase(pdo);
}

void Registry::fail_open(PDEVICE_OBJECT pdo, NTSTATUS status) { m_open_failures[pdo] = status; }

NTSTATUS Registry::open_device_key(PDEVICE_OBJECT device, ULONG key_type, PHANDLE handle) {
    *handle = nullptr;
    // Only a physical device object (the bottom of a stack) has device keys.
    if (device == nullptr || !m_kernel.io().is_live_device(device) ||
        device->DeviceObjectExtension->AttachedTo != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (key_type != PLUGPLAY_REGKEY_DEVICE && key_type != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    auto failure = m_open_failures.find(device);
    if (failure != m_open_failures.end()) return failure->second;
    Key& key = m_keys[{device, key_type}];
    *handle = m_kernel.objects().open(ObjectTable::Kind::Key, &key);
    return STATUS_SUCCESS;
}

Registry::Key* Registry::key_of(HANDLE handle) {
    return static_cast<Key*>(m_kernel.objects().lookup(handle, ObjectTable::Kind::Key));
}

NTSTATUS Registry::query_value(HANDLE handle, PUNICODE_STRING name,
                               KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                               PULONG result_length) {
    Key* key = key_of(handle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    auto it = key->values.find(upper(from_unicode_string(name)));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const Value& value = it->second;
    const ULONG name_length = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const ULONG data_length = static_cast<ULONG>(value.data.size());
    auto* out = static_cast<std::uint8_t*>(buffer);

    ULONG fixed = 0;
    ULONG required = 0;
    ULONG data_offset = 0;
    switch (info_class) {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + name_length;
        break;
    case KeyValueFullInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        data_offset = align_ulong(fixed + name_length);
        required = data_offset + data_length;
        break;
    case KeyValuePartialInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + data_length;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (result_length != nullptr) *result_length = required;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

    // The fixed part always goes out; the name and data only as far as they fit.
    switch (info_class) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION info{0, value.type, name_length, {}};
        std::memcpy(out, &info, fixed);
        std::memcpy(out + fixed, value.name.data(), std::min(name_length, length - fixed));
        break;
    }
    case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION info{0, value.type, data_offset, data_length, name_length, {}};
        std::memcpy(out, &info, fixed);
        std::memcpy(out + fixed, value.name.data(), std::min(name_length, length - fixed));
        if (length >= required && data_length != 0) std::memcpy(out + data_offset, value.data.data(), data_length);
        break;
    }
    default: {
        KEY_VALUE_PARTIAL_INFORMATION info{0, value.type, data_length, {}};
        std::memcpy(out, &info, fixed);
        if (length >= required && data_length != 0) std::memcpy(out + fixed, value.data.data(), data_length);
        break;
    }
    }
    return length >= required ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace host
