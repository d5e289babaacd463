// Counted strings (UNICODE_STRING, ANSI_STRING) and their conversions. ANSI
// is the machine's code page, Windows-1252; a character it cannot hold
// becomes '?'. Allocated buffers come from the process heap.
#include <cstring>

#include "internal.h"

namespace {

constexpr size_t kMaxCountedBytes = 0xFFFE;  // USHORT lengths, kept even for UTF-16

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) return STATUS_INVALID_PARAMETER;
    size_t chars = SourceString->Length;
    size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    if (chars && !SourceString->Buffer) return STATUS_INVALID_PARAMETER;

    PWSTR out;
    USHORT maximum;
    if (AllocateDestinationString) {
        out = static_cast<PWSTR>(RtlAllocateHeap(RtlProcessHeap(), 0, bytes + sizeof(WCHAR)));
        if (!out) return STATUS_NO_MEMORY;
        maximum = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else {
        // The system wants room for the terminator as well.
        if (bytes >= DestinationString->MaximumLength || !DestinationString->Buffer) return STATUS_BUFFER_OVERFLOW;
        out = DestinationString->Buffer;
        maximum = DestinationString->MaximumLength;
    }
    for (size_t i = 0; i < chars; ++i) out[i] = ntp::ansi_to_wchar(static_cast<unsigned char>(SourceString->Buffer[i]));
    if (out && bytes + sizeof(WCHAR) <= maximum) out[chars] = 0;
    DestinationString->Buffer = out;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = maximum;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) return STATUS_INVALID_PARAMETER;
    size_t chars = SourceString->Length / sizeof(WCHAR);
    if (chars && !SourceString->Buffer) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;

    PCHAR out;
    USHORT maximum;
    if (AllocateDestinationString) {
        out = static_cast<PCHAR>(RtlAllocateHeap(RtlProcessHeap(), 0, chars + 1));
        if (!out) return STATUS_NO_MEMORY;
        maximum = static_cast<USHORT>(chars + 1);
    } else {
        maximum = DestinationString->MaximumLength;
        out = DestinationString->Buffer;
        if (chars >= maximum) {
            // As the system does: convert what fits (keeping room for the
            // terminator) and report the overflow.
            status = STATUS_BUFFER_OVERFLOW;
            if (maximum == 0 || !out) return status;
            chars = maximum - 1u;
        }
    }
    for (size_t i = 0; i < chars; ++i) {
        int c = ntp::wchar_to_ansi(SourceString->Buffer[i]);
        out[i] = static_cast<char>(c < 0 ? '?' : c);
    }
    out[chars] = 0;
    DestinationString->Buffer = out;
    DestinationString->Length = static_cast<USHORT>(chars);
    DestinationString->MaximumLength = maximum;
    return status;
}

BOOLEAN RtlCreateUnicodeStringFromAsciiz(PUNICODE_STRING DestinationString, PCSZ SourceString) {
    if (!DestinationString || !SourceString) return FALSE;
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, SourceString);
    return NT_SUCCESS(RtlAnsiStringToUnicodeString(DestinationString, &ansi, TRUE));
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (!UnicodeString) return;
    if (UnicodeString->Buffer) RtlFreeHeap(RtlProcessHeap(), 0, UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (!AnsiString) return;
    if (AnsiString->Buffer) RtlFreeHeap(RtlProcessHeap(), 0, AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return ntp::upcase(SourceCharacter); }

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) a = ntp::upcase(a), b = ntp::upcase(b);
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}
