// Waits that take only the answers they asked for. Besides the signal and the
// time-out, the platform's waits can answer 0xFFFFFFFF, an undocumented
// value Windows 98 and Me give when the wait was disturbed; taking it for a
// signal acts on an event nobody set. Such an answer is waited through for as
// long as the thread can wait at all, and a time-out keeps its deadline: the
// next wait is for the remainder. Time-outs are relative: a wait on Windows 98
// is a VWIN32 wait in relative milliseconds, nothing shows how an absolute
// time is converted, and the system time follows a clock the user can set.
#include "core/usb2ser.h"

namespace {

// Zero-time-out waits the probe makes before it takes the thread for one
// that cannot wait: an undocumented answer now and then is no proof.
const ULONG kProbeAttempts = 8;

}  // namespace

// A wait blocks only in the system virtual machine: a port driver serving a
// program in another one calls the exports there, and every wait then answers
// 0xFFFFFFFF at once (Windows 98 DDK, _VWIN32_WaitSingleObject: "can only be
// called when the current VM is the system VM"). A zero time-out on an event
// nobody sets tells the two apart: STATUS_TIMEOUT where waits block.
BOOLEAN USB2SER_CanWait() {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    now.QuadPart = 0;
    for (ULONG attempt = 0; attempt < kProbeAttempts; ++attempt) {
        if (KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &now) == STATUS_TIMEOUT) return TRUE;
    }
    return FALSE;
}

NTSTATUS USB2SER_Wait(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType, PLARGE_INTEGER Timeout) {
    LARGE_INTEGER started;
    LARGE_INTEGER remaining;
    PLARGE_INTEGER limit = NULL;
    if (Timeout != NULL) {
        KeQuerySystemTime(&started);
        remaining = *Timeout;
        limit = &remaining;
    }
    const NTSTATUS last = WaitType == WaitAny ? STATUS_WAIT_0 + static_cast<NTSTATUS>(Count) - 1 : STATUS_WAIT_0;
    for (;;) {
        const NTSTATUS status =
            Count == 1 ? KeWaitForSingleObject(Objects[0], Executive, KernelMode, FALSE, limit)
                       : KeWaitForMultipleObjects(Count, Objects, WaitType, Executive, KernelMode, FALSE, limit, NULL);
        if (status >= STATUS_WAIT_0 && status <= last) return status;
        if (status == STATUS_TIMEOUT && Timeout != NULL) return status;
        if (!USB2SER_CanWait()) return STATUS_CANT_WAIT;
        if (Timeout != NULL) {
            // What is left of the time-out: the clock read twice, the time
            // passed kept between none and all of it, whatever the clock did.
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            LONGLONG passed = now.QuadPart - started.QuadPart;
            if (passed < 0) passed = 0;
            if (passed > -Timeout->QuadPart) passed = -Timeout->QuadPart;
            remaining.QuadPart = Timeout->QuadPart + passed;
        }
    }
}
