#include "host/kernel/module.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace host {

namespace {

// The routines Windows 98 SE exports to WDM drivers: made at configuration
// from platform/target/imports.whitelist. A host import names no module, so
// the routine's name is what binds it.
const char* const kPlatformExports[] = {
#include "platform_exports.inc"
};

// How the platform's headers bind a routine the host build calls by another
// name: on the target these are macros onto the routine given, or (null)
// inline code that imports nothing; the USB driver library's routines are
// imported by their stdcall-decorated names. The configuration manager's
// services are no imports either: the VxD loader links them in place.
struct HeaderBinding {
    const char* host;
    const char* target;
};
const HeaderBinding kHeaderBindings[] = {
    {"InterlockedCompareExchangePointer", "InterlockedCompareExchange"},
    {"InterlockedExchangePointer", "InterlockedExchange"},
    {"IoCopyCurrentIrpStackLocationToNext", nullptr},
    {"IoGetCurrentIrpStackLocation", nullptr},
    {"IoGetNextIrpStackLocation", nullptr},
    {"IoMarkIrpPending", nullptr},
    {"IoSetCompletionRoutine", nullptr},
    {"IoSetNextIrpStackLocation", nullptr},
    {"IoSkipCurrentIrpStackLocation", nullptr},
    {"KeAcquireSpinLock", "KfAcquireSpinLock"},
    {"KeLowerIrql", "KfLowerIrql"},
    {"KeRaiseIrql", "KfRaiseIrql"},
    {"KeReleaseSpinLock", "KfReleaseSpinLock"},
    {"KrtSprintf", "sprintf"},
    {"RtlCopyMemory", "memcpy"},
    {"RtlZeroMemory", "memset"},
    {"USBD_CreateConfigurationRequestEx", "_USBD_CreateConfigurationRequestEx@8"},
    {"USBD_ParseConfigurationDescriptorEx", "_USBD_ParseConfigurationDescriptorEx@28"},
};

}  // namespace

std::string Module::link() const {
    // The answer rests on the module's name and its import table alone, the
    // same in every world of a process: worked out once for each.
    static std::map<std::pair<std::string, const char* const*>, std::string> known;
    auto [entry, fresh] = known.try_emplace({m_name, m_imports});
    if (fresh) entry->second = bind_imports();
    return entry->second;
}

std::string Module::bind_imports() const {
    std::string refused;
    for (const char* const* import = m_imports; *import != nullptr; ++import) {
        std::string_view name = *import;
        if (name.starts_with("CONFIGMG_")) continue;
        auto binding = std::find_if(std::begin(kHeaderBindings), std::end(kHeaderBindings),
                                    [&](const HeaderBinding& b) { return name == b.host; });
        if (binding != std::end(kHeaderBindings)) {
            if (binding->target == nullptr) continue;
            name = binding->target;
        }
        if (!platform_exports(name)) refused += m_name + ": imports " + std::string(name) + ", which Windows 98 SE does not export\n";
    }
    return refused;
}

bool Module::platform_exports(std::string_view routine) {
    // Sorted once: every world links its driver against the table.
    static const std::vector<std::string_view> sorted = [] {
        std::vector<std::string_view> names(std::begin(kPlatformExports), std::end(kPlatformExports));
        std::sort(names.begin(), names.end());
        return names;
    }();
    return std::binary_search(sorted.begin(), sorted.end(), routine);
}

std::string Module::check() const {
    for (std::size_t i = 0; i < m_exports.size(); ++i) {
        const MODULE_EXPORT& e = m_exports[i];
        if (e.Name == nullptr || e.Address == nullptr) return m_name + ": export " + std::to_string(i + 1) + " is empty";
        if (e.Ordinal != i + 1) {
            return m_name + ": " + e.Name + " has ordinal " + std::to_string(e.Ordinal) + ", not " + std::to_string(i + 1);
        }
        if (i > 0 && std::string_view(m_exports[i - 1].Name) >= std::string_view(e.Name)) {
            return m_name + ": " + e.Name + " is out of byte order after " + m_exports[i - 1].Name;
        }
    }
    return {};
}

PVOID Module::resolve(std::string_view name) const {
    auto it = std::lower_bound(m_exports.begin(), m_exports.end(), name,
                               [](const MODULE_EXPORT& e, std::string_view n) { return std::string_view(e.Name) < n; });
    return it != m_exports.end() && std::string_view(it->Name) == name ? it->Address : nullptr;
}

}  // namespace host
