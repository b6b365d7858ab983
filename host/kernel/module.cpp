#include "host/kernel/module.h"

#include <algorithm>

namespace host {

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
