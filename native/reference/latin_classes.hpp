// Word and space classes for Latin text in the kernel tests: close enough to
// the interpreter's for Portuguese, English and Spanish.
#pragma once

#include "wrapper_native/char_filter.hpp"

namespace test_support {

inline bool latin_word(char32_t c) {
    if ((c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') ||
        c == U'_')
        return true;
    return c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7;
}

inline bool latin_space(char32_t c) {
    return c == U' ' || (c >= U'\t' && c <= U'\r') || c == 0xA0 || c == 0x2029;
}

inline const wrapper_native::CharClasses &latin_classes() {
    static const wrapper_native::CharClasses classes{latin_word, latin_space};
    return classes;
}

}  // namespace test_support
