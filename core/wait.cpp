// Waits that take only the answers they asked for. Besides the signal and the
// time-out, the platform's waits can answer 0xFFFFFFFF, an undocumented
// value Windows 98 and Me give when the wait was disturbed; taking it for a
// signal acts on an event nobody set. Such answers are waited through, a
// bounded number of times in a row, and the time-out keeps its deadline.
#include "core/usb2ser.h"

NTSTATUS USB2SER_Wait(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType, PLARGE_INTEGER Timeout) {
    LARGE_INTEGER deadline;
    PLARGE_INTEGER limit = NULL;
    if (Timeout != NULL) {
        KeQuerySystemTime(&deadline);
        deadline.QuadPart = Timeout->QuadPart < 0 ? deadline.QuadPart - Timeout->QuadPart : Timeout->QuadPart;
        limit = &deadline;
    }
    const NTSTATUS last = WaitType == WaitAny ? STATUS_WAIT_0 + static_cast<NTSTATUS>(Count) - 1 : STATUS_WAIT_0;
    for (ULONG attempt = 0; attempt < USB2SER_WAIT_ATTEMPTS; ++attempt) {
        const NTSTATUS status =
            Count == 1 ? KeWaitForSingleObject(Objects[0], Executive, KernelMode, FALSE, limit)
                       : KeWaitForMultipleObjects(Count, Objects, WaitType, Executive, KernelMode, FALSE, limit, NULL);
        if (status >= STATUS_WAIT_0 && status <= last) return status;
        if (status == STATUS_TIMEOUT && Timeout != NULL) return status;
    }
    return STATUS_UNSUCCESSFUL;
}
