// Names on FAT volumes: 8.3 names and their case bits, long names and their
// entries, the aliases new long names get, and OEM text.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "fat_fs.h"

namespace ntp::fat {
namespace {

// Code page 437, bytes 0x80..0xFF (the OEM code page of US Windows).
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Characters no name may hold (besides controls below 0x20).
bool forbidden(char16_t c) {
    return c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
           c == u'\\' || c == u'|';
}

// ASCII characters an 8.3 name may hold as they are (letters in either case).
bool short_char(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) return true;
    switch (c) {
    case u'!':
    case u'#':
    case u'$':
    case u'%':
    case u'&':
    case u'\'':
    case u'(':
    case u')':
    case u'-':
    case u'@':
    case u'^':
    case u'_':
    case u'`':
    case u'{':
    case u'}':
    case u'~':
        return true;
    default:
        return false;
    }
}

bool is_lower(char16_t c) { return c >= u'a' && c <= u'z'; }
bool is_upper(char16_t c) { return c >= u'A' && c <= u'Z'; }

// Letter case of one part of an exact 8.3 name: 0 no letters or all upper,
// 1 all lower, 2 mixed.
int part_case(std::u16string_view part) {
    bool lower = false, upper = false;
    for (char16_t c : part) {
        lower |= is_lower(c);
        upper |= is_upper(c);
    }
    return lower && upper ? 2 : lower ? 1 : 0;
}

void fill_part(uint8_t *out, size_t width, std::u16string_view part) {
    for (size_t i = 0; i < width; ++i) {
        char16_t c = i < part.size() ? part[i] : u' ';
        if (is_lower(c)) c = static_cast<char16_t>(c - 0x20);
        out[i] = static_cast<uint8_t>(c);
    }
}

// One character of an alias: valid ASCII as it is (upper case), everything
// else (the characters 8.3 names forbid, anything beyond ASCII) as '_'.
uint8_t alias_char(char16_t c) {
    c = upcase(c);
    if (c < 0x80 && short_char(c)) return static_cast<uint8_t>(c);
    return '_';
}

}  // namespace

WCHAR oem_to_unicode(uint8_t c) { return c < 0x80 ? static_cast<WCHAR>(c) : kCp437High[c - 0x80]; }

std::u16string short_name_text(const uint8_t name[11], uint8_t nt_case) {
    std::u16string out;
    size_t base_len = 8, ext_len = 3;
    while (base_len > 0 && name[base_len - 1] == ' ') --base_len;
    while (ext_len > 0 && name[8 + ext_len - 1] == ' ') --ext_len;
    auto put = [&out](uint8_t c, bool lower) {
        WCHAR w = oem_to_unicode(c);
        if (lower && w >= u'A' && w <= u'Z') w = static_cast<WCHAR>(w + 0x20);
        out += w;
    };
    for (size_t i = 0; i < base_len; ++i) {
        uint8_t c = (i == 0 && name[0] == kEntryKanjiE5) ? kEntryDeleted : name[i];
        put(c, (nt_case & kCaseLowerBase) != 0);
    }
    if (ext_len > 0) {
        out += u'.';
        for (size_t i = 0; i < ext_len; ++i) put(name[8 + i], (nt_case & kCaseLowerExt) != 0);
    }
    return out;
}

uint8_t lfn_checksum(const uint8_t name[11]) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

bool valid_long_name(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxLongName) return false;
    if (name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (forbidden(c)) return false;
    char16_t last = name.back();
    return last != u'.' && last != u' ';
}

ShortForm make_short_form(std::u16string_view long_name) {
    ShortForm f;
    std::memset(f.name, ' ', sizeof f.name);

    // The name itself, when it is a valid 8.3 name.
    size_t dot = long_name.find(u'.');
    bool one_dot = dot == std::u16string_view::npos || long_name.find(u'.', dot + 1) == std::u16string_view::npos;
    std::u16string_view base = long_name.substr(0, dot);
    std::u16string_view ext = dot == std::u16string_view::npos ? std::u16string_view() : long_name.substr(dot + 1);
    bool exact = one_dot && !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
                 (dot == std::u16string_view::npos || !ext.empty());
    for (char16_t c : long_name)
        if (c != u'.' && !short_char(c)) exact = false;
    if (exact) {
        int bc = part_case(base), ec = part_case(ext);
        fill_part(f.name, 8, base);
        fill_part(f.name + 8, 3, ext);
        f.exact = true;
        f.needs_lfn = bc == 2 || ec == 2;
        if (!f.needs_lfn) f.nt_case = (bc == 1 ? kCaseLowerBase : 0) | (ec == 1 ? kCaseLowerExt : 0);
        return f;
    }

    // An alias basis: blanks dropped, leading dots dropped, the extension
    // from the last dot, the base from what comes before it (dots dropped).
    std::u16string s;
    for (char16_t c : long_name)
        if (c != u' ') s += c;
    size_t lead = 0;
    while (lead < s.size() && s[lead] == u'.') ++lead;
    s.erase(0, lead);
    size_t last = s.rfind(u'.');
    std::u16string_view sv(s);
    std::u16string_view b = last == std::u16string::npos ? sv : sv.substr(0, last);
    std::u16string_view e = last == std::u16string::npos ? std::u16string_view() : sv.substr(last + 1);
    size_t n = 0;
    for (char16_t c : b) {
        if (c == u'.') continue;
        if (n == 8) break;
        f.name[n++] = alias_char(c);
    }
    if (n == 0) f.name[0] = '_';
    n = 0;
    for (char16_t c : e) {
        if (n == 3) break;
        f.name[8 + n++] = alias_char(c);
    }
    f.exact = false;
    f.needs_lfn = true;
    return f;
}

void with_numeric_tail(const uint8_t basis[11], uint32_t n, uint8_t out[11]) {
    char tail[12];
    int tail_len = std::snprintf(tail, sizeof tail, "~%u", n);
    size_t base_len = 8;
    while (base_len > 0 && basis[base_len - 1] == ' ') --base_len;
    size_t keep = std::min(base_len, static_cast<size_t>(8 - tail_len));
    std::memset(out, ' ', 8);
    std::memcpy(out, basis, keep);
    std::memcpy(out + keep, tail, static_cast<size_t>(tail_len));
    std::memcpy(out + 8, basis + 8, 3);
}

std::vector<LfnEntry> make_lfn_entries(std::u16string_view name, uint8_t checksum) {
    size_t parts = (name.size() + kLfnUnits - 1) / kLfnUnits;
    std::vector<LfnEntry> out(parts);
    for (size_t k = 0; k < parts; ++k) {
        // out[0] holds the last part.
        size_t order = parts - k;
        LfnEntry &e = out[k];
        std::memset(&e, 0, sizeof e);
        e.order = static_cast<uint8_t>(order | (k == 0 ? kLfnLast : 0));
        e.attributes = kAttrLongName;
        e.checksum = checksum;
        uint8_t *slots[13];
        for (int i = 0; i < 5; ++i) slots[i] = e.name1 + 2 * i;
        for (int i = 0; i < 6; ++i) slots[5 + i] = e.name2 + 2 * i;
        for (int i = 0; i < 2; ++i) slots[11 + i] = e.name3 + 2 * i;
        for (size_t i = 0; i < kLfnUnits; ++i) {
            size_t at = (order - 1) * kLfnUnits + i;
            uint16_t unit = at < name.size() ? name[at] : at == name.size() ? 0x0000 : 0xFFFF;
            put16(slots[i], unit);
        }
    }
    return out;
}

DosTime dos_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    DosTime t;
    int year = tm.tm_year + 1900;
    if (year < 1980) {
        t.date = (0 << 9) | (1 << 5) | 1;  // 1980-01-01 00:00:00
        return t;
    }
    if (year > 2107) {
        t.date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
        t.time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
        return t;
    }
    t.date = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    int sec = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    t.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (sec / 2));
    t.tenths = static_cast<uint8_t>((sec % 2) * 100 + ts.tv_nsec / 10000000);
    return t;
}

}  // namespace ntp::fat
