// The 16-bit string and formatting routines of the native system library,
// over WCHAR (char16_t), with the Windows behaviour the programs rely on:
// LONG is 32 bits (so %ld reads a 32-bit value), %s is a 16-bit string in
// the wide functions, and _snwprintf reports truncation with -1.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"

// ----------------------------------------------------------- code page 1252

namespace ntp {
namespace {
// 0x80..0x9F of Windows-1252; the five holes map to the C1 control of the
// same value, as the system's conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
}  // namespace

WCHAR ansi_to_wchar(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) return kCp1252High[c - 0x80];
    return c;
}

int wchar_to_ansi(WCHAR c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return 0x80 + i;
    return -1;
}

WCHAR downcase(WCHAR c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 0x20) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 0x20);
    if (c == 0x178) return 0xFF;
    if (c >= 0x100 && c <= 0x17F) {
        WCHAR lower = ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) ? static_cast<WCHAR>(c + 1)
                                                                                 : static_cast<WCHAR>(c | 1);
        return (lower != c && upcase(lower) == c) ? lower : c;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 0x50);
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<WCHAR>(c + 0x20);
    return c;
}

}  // namespace ntp

// ------------------------------------------------------------ wcs routines

size_t wcslen(const WCHAR *s) {
    const WCHAR *p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

size_t wcsnlen(const WCHAR *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}

WCHAR *wcscpy(WCHAR *dst, const WCHAR *src) {
    WCHAR *d = dst;
    while ((*d++ = *src++)) {}
    return dst;
}

WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i]; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

WCHAR *wcscat(WCHAR *dst, const WCHAR *src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

WCHAR *wcsncat(WCHAR *dst, const WCHAR *src, size_t n) {
    WCHAR *d = dst + wcslen(dst);
    size_t i = 0;
    for (; i < n && src[i]; ++i) d[i] = src[i];
    d[i] = 0;
    return dst;
}

int wcscmp(const WCHAR *a, const WCHAR *b) {
    while (*a && *a == *b) ++a, ++b;
    return (*a > *b) - (*a < *b);
}

int wcsncmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return (a[i] > b[i]) - (a[i] < b[i]);
        if (!a[i]) return 0;
    }
    return 0;
}

namespace {
// Case-insensitive order as the C library of Windows defines it: characters
// compare as their lower-case forms.
int fold(WCHAR c) { return ntp::downcase(ntp::upcase(c)); }
}  // namespace

int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    for (;; ++a, ++b) {
        int x = fold(*a), y = fold(*b);
        if (x != y || !x) return x - y;
    }
}

int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int x = fold(a[i]), y = fold(b[i]);
        if (x != y || !x) return x - y;
    }
    return 0;
}

WCHAR *wcschr(const WCHAR *s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return const_cast<WCHAR *>(s);
        if (!*s) return nullptr;
    }
}

WCHAR *wcsrchr(const WCHAR *s, WCHAR c) {
    const WCHAR *found = nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return const_cast<WCHAR *>(found);
    }
}

WCHAR *wcsstr(const WCHAR *s, const WCHAR *sub) {
    size_t n = wcslen(sub);
    if (n == 0) return const_cast<WCHAR *>(s);
    for (; *s; ++s)
        if (*s == *sub && wcsncmp(s, sub, n) == 0) return const_cast<WCHAR *>(s);
    return nullptr;
}

WCHAR *_wcsupr(WCHAR *s) {
    for (WCHAR *p = s; *p; ++p) *p = ntp::upcase(*p);
    return s;
}

WCHAR *_wcslwr(WCHAR *s) {
    for (WCHAR *p = s; *p; ++p) *p = ntp::downcase(*p);
    return s;
}

// LONG is 32 bits on Windows: the result is clamped to the 32-bit range.
long wcstol(const WCHAR *s, WCHAR **end, int base) {
    const WCHAR *p = s;
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
    if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') &&
        ((p[2] >= u'0' && p[2] <= u'9') || (p[2] >= u'a' && p[2] <= u'f') || (p[2] >= u'A' && p[2] <= u'F'))) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = (*p == u'0') ? 8 : 10;
    }
    if (base < 2 || base > 36) {
        if (end) *end = const_cast<WCHAR *>(s);
        return 0;
    }
    uint64_t value = 0;
    bool overflow = false, any = false;
    for (;; ++p) {
        int digit;
        if (*p >= u'0' && *p <= u'9')
            digit = *p - u'0';
        else if (*p >= u'a' && *p <= u'z')
            digit = *p - u'a' + 10;
        else if (*p >= u'A' && *p <= u'Z')
            digit = *p - u'A' + 10;
        else
            break;
        if (digit >= base) break;
        any = true;
        value = value * base + digit;
        if (value > 0x80000000ull) overflow = true, value = 0x80000000ull;
    }
    if (end) *end = const_cast<WCHAR *>(any ? p : s);
    if (!any) return 0;
    if (negative) {
        if (overflow) errno = ERANGE;
        return -static_cast<long>(value);
    }
    if (overflow || value > 0x7FFFFFFFull) {
        errno = ERANGE;
        return 0x7FFFFFFFL;
    }
    return static_cast<long>(value);
}

int _wtoi(const WCHAR *s) { return static_cast<int>(wcstol(s, nullptr, 10)); }

// --------------------------------------------------------------- formatting

namespace {

// Where formatted text goes: at most `capacity` units are stored, all are counted.
struct Sink {
    WCHAR *buffer;
    size_t capacity;
    size_t length = 0;
    void put(WCHAR c) {
        if (length < capacity) buffer[length] = c;
        ++length;
    }
    void repeat(WCHAR c, long n) {
        for (; n > 0; --n) put(c);
    }
};

struct Args {
    va_list ap;
};

enum class Size { None, HH, H, L, LL, Ptr, W };

struct Conversion {
    bool left = false, plus = false, blank = false, alt = false, zero = false;
    long width = 0;
    long precision = -1;  // -1: none given
    Size size = Size::None;
};

void put_padded(Sink &out, const Conversion &fmt, const std::u16string &body) {
    // As in the system's formatter, the 0 flag pads text with zeroes too.
    long pad = fmt.width - static_cast<long>(body.size());
    if (!fmt.left) out.repeat(fmt.zero ? u'0' : u' ', pad);
    for (WCHAR c : body) out.put(c);
    if (fmt.left) out.repeat(u' ', pad);
}

void put_integer(Sink &out, const Conversion &fmt, WCHAR conv, uint64_t magnitude, bool negative) {
    unsigned base = (conv == u'o') ? 8 : (conv == u'x' || conv == u'X' || conv == u'p') ? 16 : 10;
    const char *digitsOf = (conv == u'X' || conv == u'p') ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string digits;
    for (uint64_t v = magnitude; v; v /= base) digits.insert(digits.begin(), static_cast<WCHAR>(digitsOf[v % base]));
    long precision = fmt.precision < 0 ? 1 : fmt.precision;
    if (static_cast<long>(digits.size()) < precision) digits.insert(0, precision - digits.size(), u'0');
    if (conv == u'o' && fmt.alt && (digits.empty() || digits[0] != u'0')) digits.insert(digits.begin(), u'0');

    std::u16string prefix;
    bool isSigned = conv == u'd' || conv == u'i';
    if (isSigned) {
        if (negative)
            prefix = u"-";
        else if (fmt.plus)
            prefix = u"+";
        else if (fmt.blank)
            prefix = u" ";
    }
    if (fmt.alt && magnitude != 0 && (conv == u'x' || conv == u'X')) prefix = conv == u'x' ? u"0x" : u"0X";

    long total = static_cast<long>(prefix.size() + digits.size());
    if (fmt.zero && !fmt.left && fmt.precision < 0) {
        for (WCHAR c : prefix) out.put(c);
        out.repeat(u'0', fmt.width - total);
        for (WCHAR c : digits) out.put(c);
        return;
    }
    Conversion blanks = fmt;
    blanks.zero = false;
    put_padded(out, blanks, prefix + digits);
}

// A 16-bit string, or "(null)"; `count` units, or up to the terminator.
void put_wide(Sink &out, const Conversion &fmt, const WCHAR *s, size_t count, bool counted) {
    if (!s) {
        s = u"(null)";
        counted = false;
    }
    size_t n = counted ? count : (fmt.precision >= 0 ? wcsnlen(s, fmt.precision) : wcslen(s));
    if (fmt.precision >= 0 && n > static_cast<size_t>(fmt.precision)) n = fmt.precision;
    put_padded(out, fmt, std::u16string(s, n));
}

void put_narrow(Sink &out, const Conversion &fmt, const char *s, size_t count, bool counted) {
    if (!s) {
        s = "(null)";
        counted = false;
    }
    size_t n = counted ? count : (fmt.precision >= 0 ? strnlen(s, fmt.precision) : std::strlen(s));
    if (fmt.precision >= 0 && n > static_cast<size_t>(fmt.precision)) n = fmt.precision;
    std::u16string body;
    for (size_t i = 0; i < n; ++i) body += ntp::ansi_to_wchar(static_cast<unsigned char>(s[i]));
    put_padded(out, fmt, body);
}

void put_float(Sink &out, const Conversion &fmt, WCHAR conv, double value) {
    std::string format = "%";
    if (fmt.left) format += '-';
    if (fmt.plus) format += '+';
    if (fmt.blank) format += ' ';
    if (fmt.alt) format += '#';
    if (fmt.zero) format += '0';
    format += std::to_string(fmt.width);
    if (fmt.precision >= 0) format += "." + std::to_string(fmt.precision);
    format += static_cast<char>(conv);
    int n = std::snprintf(nullptr, 0, format.c_str(), value);
    if (n < 0) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format.c_str(), value);
    for (int i = 0; i < n; ++i) out.put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
}

void format(Sink &out, const WCHAR *f, Args &args) {
    while (*f) {
        if (*f != u'%') {
            out.put(*f++);
            continue;
        }
        const WCHAR *start = f++;
        Conversion fmt;
        for (;; ++f) {
            if (*f == u'-')
                fmt.left = true;
            else if (*f == u'+')
                fmt.plus = true;
            else if (*f == u' ')
                fmt.blank = true;
            else if (*f == u'#')
                fmt.alt = true;
            else if (*f == u'0')
                fmt.zero = true;
            else
                break;
        }
        if (*f == u'*') {
            int w = va_arg(args.ap, int);
            if (w < 0) fmt.left = true, w = -w;
            fmt.width = w;
            ++f;
        } else {
            while (*f >= u'0' && *f <= u'9') fmt.width = fmt.width * 10 + (*f++ - u'0');
        }
        if (*f == u'.') {
            ++f;
            fmt.precision = 0;
            if (*f == u'*') {
                int p = va_arg(args.ap, int);
                fmt.precision = p < 0 ? -1 : p;
                ++f;
            } else {
                while (*f >= u'0' && *f <= u'9') fmt.precision = fmt.precision * 10 + (*f++ - u'0');
            }
        }
        // Size prefixes.
        if (f[0] == u'I' && f[1] == u'6' && f[2] == u'4')
            fmt.size = Size::LL, f += 3;
        else if (f[0] == u'I' && f[1] == u'3' && f[2] == u'2')
            fmt.size = Size::L, f += 3;
        else if (f[0] == u'I')
            fmt.size = Size::Ptr, ++f;
        else if (f[0] == u'l' && f[1] == u'l')
            fmt.size = Size::LL, f += 2;
        else if (f[0] == u'h' && f[1] == u'h')
            fmt.size = Size::HH, f += 2;
        else if (f[0] == u'h')
            fmt.size = Size::H, ++f;
        else if (f[0] == u'l')
            fmt.size = Size::L, ++f;
        else if (f[0] == u'w')
            fmt.size = Size::W, ++f;
        else if (f[0] == u'L')
            fmt.size = Size::LL, ++f;
        else if (f[0] == u'z' || f[0] == u't' || f[0] == u'j')
            fmt.size = Size::Ptr, ++f;

        WCHAR conv = *f;
        if (!conv) break;  // a lone '%' at the end prints nothing
        ++f;
        switch (conv) {
        case u'd':
        case u'i': {
            int64_t v;
            switch (fmt.size) {
            case Size::LL:
            case Size::Ptr:
                v = va_arg(args.ap, int64_t);
                break;
            case Size::H:
                v = static_cast<int16_t>(va_arg(args.ap, int));
                break;
            case Size::HH:
                v = static_cast<int8_t>(va_arg(args.ap, int));
                break;
            default:
                v = static_cast<int32_t>(va_arg(args.ap, int));
                break;  // LONG is 32 bits
            }
            uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            put_integer(out, fmt, conv, magnitude, v < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            uint64_t v;
            switch (fmt.size) {
            case Size::LL:
            case Size::Ptr:
                v = va_arg(args.ap, uint64_t);
                break;
            case Size::H:
                v = static_cast<uint16_t>(va_arg(args.ap, unsigned));
                break;
            case Size::HH:
                v = static_cast<uint8_t>(va_arg(args.ap, unsigned));
                break;
            default:
                v = static_cast<uint32_t>(va_arg(args.ap, unsigned));
                break;
            }
            put_integer(out, fmt, conv, v, false);
            break;
        }
        case u'p': {
            Conversion p = fmt;
            p.precision = 16;  // pointers print as 16 upper-case hex digits
            p.zero = false;
            p.alt = false;
            put_integer(out, p, u'p', reinterpret_cast<uintptr_t>(va_arg(args.ap, void *)), false);
            break;
        }
        case u'c':
        case u'C': {
            int c = va_arg(args.ap, int);
            bool narrow = (conv == u'C' && fmt.size != Size::L && fmt.size != Size::W) || fmt.size == Size::H;
            WCHAR w = narrow ? ntp::ansi_to_wchar(static_cast<unsigned char>(c)) : static_cast<WCHAR>(c);
            Conversion s = fmt;
            s.precision = -1;
            put_padded(out, s, std::u16string(1, w));
            break;
        }
        case u's':
        case u'S': {
            bool narrow = (conv == u'S' && fmt.size != Size::L && fmt.size != Size::W) || fmt.size == Size::H;
            if (narrow)
                put_narrow(out, fmt, va_arg(args.ap, const char *), 0, false);
            else
                put_wide(out, fmt, va_arg(args.ap, const WCHAR *), 0, false);
            break;
        }
        case u'Z': {  // counted strings: %Z an ANSI_STRING*, %wZ a UNICODE_STRING*
            if (fmt.size == Size::W || fmt.size == Size::L) {
                auto *s = va_arg(args.ap, const UNICODE_STRING *);
                if (!s || !s->Buffer)
                    put_wide(out, fmt, nullptr, 0, false);
                else
                    put_wide(out, fmt, s->Buffer, s->Length / sizeof(WCHAR), true);
            } else {
                auto *s = va_arg(args.ap, const ANSI_STRING *);
                if (!s || !s->Buffer)
                    put_narrow(out, fmt, nullptr, 0, false);
                else
                    put_narrow(out, fmt, s->Buffer, s->Length, true);
            }
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'g':
        case u'G':
        case u'a':
        case u'A':
            put_float(out, fmt, conv, va_arg(args.ap, double));
            break;
        case u'n':
            (void)va_arg(args.ap, void *);
            ntp::debug("swprintf: %%n is not supported; nothing is stored");
            break;
        case u'%':
            out.put(u'%');
            break;
        default:
            // An unknown conversion prints as itself, like the system's.
            ntp::debug("swprintf: unknown conversion '%s'", ntp::to_utf8(std::u16string(start, f)).c_str());
            out.put(conv);
            break;
        }
    }
}

}  // namespace

int vswprintf(WCHAR *buffer, const WCHAR *format_, va_list args) {
    Sink out{buffer, SIZE_MAX};
    Args a;
    va_copy(a.ap, args);
    format(out, format_, a);
    va_end(a.ap);
    buffer[out.length] = 0;
    return static_cast<int>(out.length);
}

int swprintf(WCHAR *buffer, const WCHAR *format_, ...) {
    va_list args;
    va_start(args, format_);
    int n = vswprintf(buffer, format_, args);
    va_end(args);
    return n;
}

int _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format_, va_list args) {
    Sink out{buffer, count};
    Args a;
    va_copy(a.ap, args);
    format(out, format_, a);
    va_end(a.ap);
    if (out.length < count) {
        buffer[out.length] = 0;
        return static_cast<int>(out.length);
    }
    if (out.length == count) return static_cast<int>(count);  // full: no room for a terminator
    return -1;
}

int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format_, ...) {
    va_list args;
    va_start(args, format_);
    int n = _vsnwprintf(buffer, count, format_, args);
    va_end(args);
    return n;
}
