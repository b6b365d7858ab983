#include "host/kernel/objects.h"

#include <cstdio>

#include "host/kernel/kernel.h"

namespace {
// The address of this object identifies the thread object type.
struct ThreadTypeTag {
} g_thread_type_object;
POBJECT_TYPE g_thread_type = reinterpret_cast<POBJECT_TYPE>(&g_thread_type_object);
}  // namespace

POBJECT_TYPE* PsThreadType = &g_thread_type;

namespace host {

HANDLE ObjectTable::open(Kind kind, PVOID object) {
    ULONG_PTR value = m_next;
    m_next += 4;
    m_handles[value] = Entry{kind, object};
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ObjectTable::close(HANDLE handle) {
    return m_handles.erase(reinterpret_cast<ULONG_PTR>(handle)) ? STATUS_SUCCESS
                                                                : STATUS_INVALID_HANDLE;
}

PVOID ObjectTable::lookup(HANDLE handle, Kind kind) const {
    auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == m_handles.end() || it->second.kind != kind) return nullptr;
    return it->second.object;
}

NTSTATUS ObjectTable::reference_by_handle(HANDLE handle, POBJECT_TYPE type, PVOID* object) {
    *object = nullptr;
    if (m_fail_next != STATUS_SUCCESS) {
        NTSTATUS status = m_fail_next;
        m_fail_next = STATUS_SUCCESS;
        return status;
    }
    auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == m_handles.end()) return STATUS_INVALID_HANDLE;
    bool thread_type = type == nullptr || (PsThreadType != nullptr && type == *PsThreadType);
    if (!thread_type || it->second.kind != Kind::Thread) return STATUS_OBJECT_TYPE_MISMATCH;
    ++m_references[it->second.object];
    *object = it->second.object;
    return STATUS_SUCCESS;
}

LONG_PTR ObjectTable::dereference(PVOID object) {
    auto it = m_references.find(object);
    if (it == m_references.end() || it->second <= 0) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "ObfDereferenceObject(%p) without a reference", object);
        bug_check(Check::NoReference, detail);
    }
    LONG_PTR left = --it->second;
    if (left == 0) m_references.erase(it);
    return left;
}

std::string ObjectTable::report() const {
    std::string out;
    char line[96];
    for (auto& [value, entry] : m_handles) {
        std::snprintf(line, sizeof line, "  handle %#llx (%s) still open\n",
                      static_cast<unsigned long long>(value),
                      entry.kind == Kind::Thread ? "thread" : "registry key");
        out += line;
    }
    for (auto& [object, count] : m_references) {
        std::snprintf(line, sizeof line, "  %d reference(s) to object %p still held\n", count, object);
        out += line;
    }
    return out;
}

}  // namespace host

