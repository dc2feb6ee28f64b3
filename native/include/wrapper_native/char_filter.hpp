// Character filters over UTF-32 text, with the character classes supplied
// by the caller (the bindings pass the interpreter's own \w and \s tests,
// so results match Python's `re` on str exactly).
#pragma once

#include <string>
#include <string_view>

namespace wrapper_native {

struct CharClasses {
    bool (*is_word)(char32_t);   // alphanumeric or underscore
    bool (*is_space)(char32_t);  // whitespace
};

// ASCII-only classes, enough for tests and for pure-ASCII input.
const CharClasses &ascii_classes();

// re.sub(r"[^\w\s]", "", text)
std::u32string remove_symbols(std::u32string_view text, const CharClasses &cc);

// re.sub(r"\W+", "", text): only word characters stay.
std::u32string keep_word_chars(std::u32string_view text, const CharClasses &cc);

// re.sub(r"\s+", " ", re.sub("\n", " ", re.sub(r"[^\w\s]", "", text))) in
// one pass: symbols go, then every whitespace run becomes one blank. A run
// split only by removed symbols is one run after the removal.
std::u32string remove_symbols_collapse_space(std::u32string_view text,
                                             const CharClasses &cc);

}  // namespace wrapper_native
