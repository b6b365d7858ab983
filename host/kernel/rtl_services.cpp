// Strings, memory helpers, the kernel's C runtime subset and debug output.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/kernel/kernel.h"
#include "platform/crt.h"

namespace {

SIZE_T WideLength(PCWSTR Text) {
    SIZE_T length = 0;
    while (Text[length] != 0) ++length;
    return length;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    SIZE_T bytes = WideLength(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    auto* end = reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length;
    if (bytes != 0) std::memmove(end, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length < Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

// The platform's routines touch nothing when there is nothing to move, so a
// null buffer with a zero length is harmless there; the C library's are not
// defined for it, and would turn that call into a sanitizer report here.
VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    if (Length != 0) std::memmove(Destination, Source, Length);
}
VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    if (Length != 0) std::memset(Destination, 0, Length);
}
VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
    if (Length != 0) std::memset(Destination, Fill, Length);
}
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, Format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, Format, args);
    va_end(args);
    host::Kernel::current().debug_print(text);
    return STATUS_SUCCESS;
}

int KrtSprintf(CHAR* Buffer, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    int written = std::vsprintf(Buffer, Format, args);
    va_end(args);
    return written;
}

