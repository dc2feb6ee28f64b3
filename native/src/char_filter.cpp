#include "wrapper_native/char_filter.hpp"

namespace wrapper_native {
namespace {

bool ascii_word(char32_t c) {
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') ||
           (c >= U'A' && c <= U'Z') || c == U'_';
}

bool ascii_space(char32_t c) {
    // str.isspace() on the ASCII range: \t \n \v \f \r, the four
    // information separators 0x1c-0x1f, and the blank.
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f) || c == 0x20;
}

}  // namespace

const CharClasses &ascii_classes() {
    static const CharClasses classes{ascii_word, ascii_space};
    return classes;
}

std::u32string remove_symbols(std::u32string_view text, const CharClasses &cc) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text)
        if (cc.is_word(c) || cc.is_space(c)) out.push_back(c);
    return out;
}

std::u32string keep_word_chars(std::u32string_view text, const CharClasses &cc) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text)
        if (cc.is_word(c)) out.push_back(c);
    return out;
}

std::u32string remove_symbols_collapse_space(std::u32string_view text,
                                             const CharClasses &cc) {
    std::u32string out;
    out.reserve(text.size());
    bool in_space = false;
    for (char32_t c : text) {
        if (cc.is_word(c)) {
            out.push_back(c);
            in_space = false;
        } else if (cc.is_space(c)) {
            if (!in_space) out.push_back(U' ');
            in_space = true;
        }
        // anything else is removed and does not end a whitespace run
    }
    return out;
}

}  // namespace wrapper_native
