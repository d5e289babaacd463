// The 16-bit string and formatting routines that ntdll exports, with
// Windows semantics, over WCHAR (char16_t) strings. They are overloads of the
// C library names: on Linux the C library's versions take the 32-bit wchar_t
// and platform/ implements these; on Windows each is bound to ntdll's export
// (NTCRTNAME, nt/target.h).
//
// Formatting (swprintf family): %s and %ls a WCHAR string, %S and %hs an
// 8-bit string, %c a WCHAR (passed as int), %C an 8-bit character, %d %i %u
// %x %X %o with the h, l (32-bit: a LONG/ULONG, the low 32 bits of what is
// passed), ll and I64 (64-bit) size prefixes, %p, widths and precisions
// (also *), the flags - 0 + blank #, and %%.
#pragma once

// The C library's wchar_t routines (and the C++ library's uses of them, such
// as std::stol taking &std::wcstol) must be declared before these overloads.
#include <cstdarg>
#include <cwchar>
#include <string>

#include "ntdef.h"

size_t wcslen(const WCHAR *s) NTCRTNAME(wcslen);
size_t wcsnlen(const WCHAR *s, size_t max) NTCRTNAME(wcsnlen);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src) NTCRTNAME(wcscpy);
WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n) NTCRTNAME(wcsncpy);
WCHAR *wcscat(WCHAR *dst, const WCHAR *src) NTCRTNAME(wcscat);
WCHAR *wcsncat(WCHAR *dst, const WCHAR *src, size_t n) NTCRTNAME(wcsncat);
int wcscmp(const WCHAR *a, const WCHAR *b) NTCRTNAME(wcscmp);
int wcsncmp(const WCHAR *a, const WCHAR *b, size_t n) NTCRTNAME(wcsncmp);
int _wcsicmp(const WCHAR *a, const WCHAR *b) NTCRTNAME(_wcsicmp);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n) NTCRTNAME(_wcsnicmp);
WCHAR *wcschr(const WCHAR *s, WCHAR c) NTCRTNAME(wcschr);
WCHAR *wcsrchr(const WCHAR *s, WCHAR c) NTCRTNAME(wcsrchr);
WCHAR *wcsstr(const WCHAR *s, const WCHAR *sub) NTCRTNAME(wcsstr);
WCHAR *_wcsupr(WCHAR *s) NTCRTNAME(_wcsupr);
WCHAR *_wcslwr(WCHAR *s) NTCRTNAME(_wcslwr);
long wcstol(const WCHAR *s, WCHAR **end, int base) NTCRTNAME(wcstol);
int _wtoi(const WCHAR *s) NTCRTNAME(_wtoi);

// Unbounded, as ntdll's: the caller guarantees room. Returns the characters
// written, without the terminator.
int swprintf(WCHAR *buffer, const WCHAR *format, ...) NTCRTNAME(swprintf);
int vswprintf(WCHAR *buffer, const WCHAR *format, va_list args) NTCRTNAME(vswprintf);
// Bounded: writes at most count characters; returns -1 when the text did not
// fit, in which case (as on Windows) no terminator is written when exactly
// count characters were stored.
int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...) NTCRTNAME(_snwprintf);
int _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list args) NTCRTNAME(_vsnwprintf);
