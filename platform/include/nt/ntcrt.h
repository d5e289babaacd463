// The 16-bit string and formatting routines that ntdll exports, with
// Windows semantics, over WCHAR (char16_t) strings. They are overloads of the
// C library names: the C library's versions take the 32-bit wchar_t.
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

size_t wcslen(const WCHAR *s);
size_t wcsnlen(const WCHAR *s, size_t max);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src);
WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n);
WCHAR *wcscat(WCHAR *dst, const WCHAR *src);
WCHAR *wcsncat(WCHAR *dst, const WCHAR *src, size_t n);
int wcscmp(const WCHAR *a, const WCHAR *b);
int wcsncmp(const WCHAR *a, const WCHAR *b, size_t n);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n);
WCHAR *wcschr(const WCHAR *s, WCHAR c);
WCHAR *wcsrchr(const WCHAR *s, WCHAR c);
WCHAR *wcsstr(const WCHAR *s, const WCHAR *sub);
WCHAR *_wcsupr(WCHAR *s);
WCHAR *_wcslwr(WCHAR *s);
long wcstol(const WCHAR *s, WCHAR **end, int base);
int _wtoi(const WCHAR *s);

// Unbounded, as ntdll's: the caller guarantees room. Returns the characters
// written, without the terminator.
int swprintf(WCHAR *buffer, const WCHAR *format, ...);
int vswprintf(WCHAR *buffer, const WCHAR *format, va_list args);
// Bounded: writes at most count characters; returns -1 when the text did not
// fit, in which case (as on Windows) no terminator is written when exactly
// count characters were stored.
int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);
int _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list args);
