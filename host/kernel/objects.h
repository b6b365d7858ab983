// Kernel handles and counted object references (threads, registry keys).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/wdm.h"

namespace host {

class Kernel;

class ObjectTable {
public:
    enum class Kind { Thread, Key };

    explicit ObjectTable(Kernel& kernel) : m_kernel(kernel) {}

    HANDLE open(Kind kind, PVOID object);
    NTSTATUS close(HANDLE handle);
    // The object behind a handle, or nullptr when the handle is not of that kind.
    PVOID lookup(HANDLE handle, Kind kind) const;

    NTSTATUS reference_by_handle(HANDLE handle, POBJECT_TYPE type, PVOID* object);
    // The next reference by handle fails with `status`, as under a
    // verifier's resource simulation.
    void fail_next_reference(NTSTATUS status) { m_fail_next = status; }
    LONG_PTR dereference(PVOID object);

    // Handles still open and references still held, one per line.
    std::string report() const;

private:
    struct Entry {
        Kind kind;
        PVOID object;
    };
    Kernel& m_kernel;
    std::map<ULONG_PTR, Entry> m_handles;
    std::map<PVOID, LONG> m_references;
    ULONG_PTR m_next = 4;
    NTSTATUS m_fail_next = STATUS_SUCCESS;
};

}  // namespace host
