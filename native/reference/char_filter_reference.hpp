// The character filters and the token pattern the obviously correct way:
// one regular-expression substitution after another, each written as the
// plainest loop. Shared by the kernel tests and the fuzzers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wrapper_native/char_filter.hpp"

namespace reference {

// re.sub(r"[^\w\s]", "", text)
inline std::u32string without_symbols(std::u32string_view text,
                                      const wrapper_native::CharClasses &cc) {
    std::u32string out;
    for (char32_t c : text)
        if (cc.is_word(c) || cc.is_space(c)) out.push_back(c);
    return out;
}

// re.sub(r"\W+", "", text)
inline std::u32string only_word_chars(std::u32string_view text,
                                      const wrapper_native::CharClasses &cc) {
    std::u32string out;
    for (char32_t c : text)
        if (cc.is_word(c)) out.push_back(c);
    return out;
}

// re.sub(r"\s+", " ", re.sub("\n", " ", re.sub(r"[^\w\s]", "", text))): the
// three substitutions one after the other.
inline std::u32string three_pass(std::u32string_view text, const wrapper_native::CharClasses &cc) {
    std::u32string removed = without_symbols(text, cc);
    for (auto &c : removed)
        if (c == U'\n') c = U' ';
    std::u32string out;
    for (size_t i = 0; i < removed.size();) {
        if (cc.is_space(removed[i])) {
            out.push_back(U' ');
            while (i < removed.size() && cc.is_space(removed[i])) ++i;
        } else {
            out.push_back(removed[i++]);
        }
    }
    return out;
}

// re.findall(r"(?u)\b\w\w+\b", text), read as: cut the text at every
// non-word character and keep the pieces of two or more characters.
inline std::vector<std::u32string> word_tokens(std::u32string_view text,
                                               const wrapper_native::CharClasses &cc) {
    std::vector<std::u32string> out;
    std::u32string piece;
    for (size_t k = 0; k <= text.size(); ++k) {
        if (k < text.size() && cc.is_word(text[k])) {
            piece.push_back(text[k]);
            continue;
        }
        if (piece.size() >= 2) out.push_back(piece);
        piece.clear();
    }
    return out;
}

}  // namespace reference
