// Word and space classes a fuzz input can choose between: the kernels take
// the classes as plain function pointers, so the choice is among fixed sets.
#pragma once

#include "fuzz_support.hpp"
#include "latin_classes.hpp"
#include "wrapper_native/char_filter.hpp"

namespace fuzz {

// Beyond Latin: every letter-like code point of the higher planes counts as
// a word character, and the Unicode space separators as blanks.
inline bool wide_word(char32_t c) {
    return test_support::latin_word(c) || (c >= 0x370 && c <= 0x3FF) ||
           (c >= 0x400 && c <= 0x4FF) || (c >= 0x4E00 && c <= 0x9FFF) || c >= 0x10000;
}
inline bool wide_space(char32_t c) {
    return test_support::latin_space(c) || c == 0x85 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x202F || c == 0x205F ||
           c == 0x3000 || (c >= 0x1C && c <= 0x1F);
}

inline const wrapper_native::CharClasses &pick_classes(FuzzedDataProvider &in) {
    static const wrapper_native::CharClasses wide{wide_word, wide_space};
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0:
            return wrapper_native::ascii_classes();
        case 1:
            return test_support::latin_classes();
        default:
            return wide;
    }
}

// Characters the text kernels treat specially: every kind of blank and line
// break, sentence ends, quotes and brackets, joiners, combining marks,
// upper and lower case in several scripts, digits and the underscore.
inline constexpr std::u32string_view kTextAlphabet =
    U"aeiosAEIOSxyz09_ \t\n\r\v\f\u00a0\u2029\u0085\u3000\u2003"
    U".!?\u2026,;:-'\u2019\"\u201c\u201d\u00ab\u00bb()[]\u00bf\u00a1\u2014\u2013\u2022"
    U"\u0301\u0303\u00e7\u00c7\u00e3\u00c3\u00e9\u00c9\u0130\u0131\u0178\u00ff\u0141"
    U"\u0416\u0436\u0391\u03b1\u4e2d\U0001F600";

}  // namespace fuzz
