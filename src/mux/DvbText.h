#pragma once

#include <string>

// DVB text fields (names in descriptors) read bytes from 0x20 on in a
// default table, not in UTF-8; a first byte below 0x20 selects another,
// 0x15 selecting UTF-8. Header-only, so that the console counts the bytes a
// name will take exactly as the tables are built.

// Whether s is well-formed UTF-8 with at least one byte past ASCII.
inline bool IsNonAsciiUtf8(const std::string& s)
{
    bool bNonAscii = false;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        // Lead bytes C2..F4 only: C0, C1 and F5.. begin no shortest form.
        const size_t nMore = c < 0x80                 ? 0
                             : c >= 0xC2 && c <= 0xDF ? 1
                             : c >= 0xE0 && c <= 0xEF ? 2
                             : c >= 0xF0 && c <= 0xF4 ? 3
                                                      : 4;
        if (nMore == 4 || i + nMore >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= nMore; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        bNonAscii = bNonAscii || nMore > 0;
        i += nMore + 1;
    }
    return bNonAscii;
}

// The bytes a name typed in UTF-8 takes in a DVB text field: non-ASCII text
// gets the UTF-8 selector in front, or receivers would read it in the
// default table; plain ASCII reads alike in both and stays as it is, and so
// does a name that brings its own selector or is not UTF-8.
inline std::string DvbTextFromUtf8(const std::string& s)
{
    constexpr char kUtf8Selector = 0x15;
    if (s.empty() || static_cast<unsigned char>(s[0]) < 0x20 || !IsNonAsciiUtf8(s)) {
        return s;
    }
    return kUtf8Selector + s;
}
