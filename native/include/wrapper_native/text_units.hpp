// Cutting a text into the units the summariser ranks: sentences and words,
// with the folding (lower case, no accents), stop words and light
// lemmatisation of the three document languages.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wrapper_native/char_filter.hpp"

namespace wrapper_native {

enum class TextLanguage { Portuguese, English, Spanish };

// "portuguese", "english", "spanish" (the names NLTK uses); nullopt otherwise.
std::optional<TextLanguage> text_language_from_name(std::string_view name);

// Lower case for Latin (ASCII, Latin-1, Latin Extended-A), Greek and
// Cyrillic letters; other characters unchanged.
char32_t to_lower(char32_t c);
std::u32string to_lower(std::u32string_view word);
// Lower case without diacritics: "Eleições" -> "eleicoes".
std::u32string fold(std::u32string_view word);

bool is_stop_word(std::u32string_view folded, TextLanguage language);
// A folded word that is written with a period without ending a sentence
// ("sr", "dra", "prof", "art").
bool is_abbreviation(std::u32string_view folded, TextLanguage language);
// Singular of a folded word by suffix rules ("eleicoes" -> "eleicao",
// "jornais" -> "jornal", "mulheres" -> "mulher"); other words unchanged.
std::u32string lemmatize_word(std::u32string_view folded, TextLanguage language);

// A span of the text, [begin, end) in code points.
struct TextSpan {
    size_t begin = 0;
    size_t end = 0;
};

// Sentences end at . ! ? or an ellipsis (with any closing quotes or
// brackets) followed by white space and a sentence opening (upper case,
// digit, quote, bracket, dash), and at blank lines. A period after a known
// abbreviation or a single letter (an initial) ends nothing. Spans are
// trimmed; sentences without a word character are dropped.
std::vector<TextSpan> split_sentences(std::u32string_view text, TextLanguage language,
                                      const CharClasses &cc);

// A word: a run of word characters, joined across a single hyphen or
// apostrophe between two of them ("guarda-chuva", "d'água"). Combining
// marks belong to the word they follow.
struct WordToken {
    TextSpan span;
    bool follows_gap = false;  // something other than white space came before it
};
std::vector<WordToken> split_words(std::u32string_view text, TextSpan within,
                                   const CharClasses &cc);

// The sentence with every run of white space made one blank.
std::u32string collapse_spaces(std::u32string_view text, TextSpan span,
                               const CharClasses &cc);

}  // namespace wrapper_native
