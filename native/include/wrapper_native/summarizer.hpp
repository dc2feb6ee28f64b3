// Extractive summaries and keywords of a text (TextRank style): sentences
// ranked by their similarity to the rest of the text, words ranked by the
// words they stand next to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wrapper_native/char_filter.hpp"
#include "wrapper_native/text_units.hpp"

namespace wrapper_native {

struct SummaryOptions {
    double ratio = 0.2;                   // share of the sentences kept
    std::optional<size_t> word_count;     // a word budget instead of the ratio
    TextLanguage language = TextLanguage::Portuguese;
};

// The chosen sentences in text order, white space runs made single blanks.
std::vector<std::u32string> summarize_text(std::u32string_view text,
                                           const SummaryOptions &options,
                                           const CharClasses &cc);

struct KeywordOptions {
    double ratio = 0.2;               // share of the distinct words kept
    std::optional<size_t> words;      // a fixed number instead of the ratio
    bool lemmatize = false;           // group singular and plural forms
    TextLanguage language = TextLanguage::Portuguese;
};

struct Keyword {
    std::u32string text;  // lower case as written; a phrase joins words with a blank
    double score = 0;
};

// At most the requested number of entries, best first. Top words that
// stand together at least twice in the text are given as one phrase.
std::vector<Keyword> extract_keywords(std::u32string_view text,
                                      const KeywordOptions &options,
                                      const CharClasses &cc);

}  // namespace wrapper_native
