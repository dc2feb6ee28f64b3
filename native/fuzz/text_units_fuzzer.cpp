// The summariser's tokenizer: sentence spans checked for what every split
// must give (ordered, trimmed, covering every word character, never across
// a blank line), word spans against a second reading of the word rule, and
// folding, lower-casing and lemmas for their invariants.
#include <string>
#include <vector>

#include "char_class_choice.hpp"
#include "fuzz_support.hpp"
#include "wrapper_native/text_units.hpp"

using namespace wrapper_native;

namespace {

bool combining(char32_t c) { return c >= 0x300 && c <= 0x36F; }
bool joiner(char32_t c) { return c == U'-' || c == U'\'' || c == U'\u2019'; }
bool newline(char32_t c) { return c == U'\n' || c == 0x2029; }

// Words, read as: the maximal runs of characters that can belong to a word
// (word characters, combining marks, a joiner between two word
// characters), each without the marks it starts with. A word follows a gap
// when it is the first, or when something other than a blank stands
// between it and the word before.
std::vector<WordToken> reference_words(std::u32string_view text, TextSpan within,
                                       const CharClasses &cc) {
    auto word = [&](size_t k) {
        return k >= within.begin && k < within.end && cc.is_word(text[k]);
    };
    auto glue = [&](size_t k) {
        if (word(k) || combining(text[k])) return true;
        return joiner(text[k]) && k > within.begin && word(k - 1) && word(k + 1);
    };
    std::vector<WordToken> out;
    size_t previous_end = within.begin;
    for (size_t k = within.begin; k < within.end;) {
        if (!glue(k)) {
            ++k;
            continue;
        }
        size_t end = k;
        while (end < within.end && glue(end)) ++end;
        size_t begin = k;
        while (begin < end && !word(begin)) ++begin;
        if (begin < end) {
            bool gap = out.empty();
            for (size_t g = previous_end; g < begin && !gap; ++g) gap = !cc.is_space(text[g]);
            out.push_back({{begin, end}, gap});
            previous_end = end;
        }
        k = end;
    }
    return out;
}

// " ".join(text.split()) over the span.
std::u32string reference_collapse(std::u32string_view text, TextSpan span,
                                  const CharClasses &cc) {
    std::vector<std::u32string> pieces(1);
    for (size_t k = span.begin; k < span.end; ++k) {
        if (cc.is_space(text[k])) {
            if (!pieces.back().empty()) pieces.emplace_back();
        } else {
            pieces.back().push_back(text[k]);
        }
    }
    std::u32string out;
    for (const auto &p : pieces) {
        if (p.empty()) continue;
        if (!out.empty()) out.push_back(U' ');
        out += p;
    }
    return out;
}

void check_sentences(std::u32string_view text, const std::vector<TextSpan> &spans,
                     const CharClasses &cc, const std::string &what) {
    std::vector<bool> covered(text.size(), false);
    size_t last_end = 0;
    for (const TextSpan &s : spans) {
        FUZZ_CHECK(s.begin < s.end && s.end <= text.size(), what);
        FUZZ_CHECK(s.begin >= last_end, what);
        last_end = s.end;
        FUZZ_CHECK(!cc.is_space(text[s.begin]) && !cc.is_space(text[s.end - 1]), what);
        bool has_word = false;
        for (size_t k = s.begin; k < s.end; ++k) {
            covered[k] = true;
            has_word = has_word || cc.is_word(text[k]);
            if (!newline(text[k])) continue;
            // A line break inside a sentence is never the first of a blank line.
            for (size_t j = k + 1; j < text.size() && cc.is_space(text[j]); ++j)
                FUZZ_CHECK(!newline(text[j]), "blank line inside a sentence: " + what);
        }
        FUZZ_CHECK(has_word, what);
    }
    for (size_t k = 0; k < text.size(); ++k)
        FUZZ_CHECK(covered[k] || !cc.is_word(text[k]), "word character left out: " + what);
}

void check_words(std::u32string_view text, TextSpan within, const CharClasses &cc,
                 const std::string &what) {
    const std::vector<WordToken> got = split_words(text, within, cc);
    const std::vector<WordToken> want = reference_words(text, within, cc);
    FUZZ_CHECK(got.size() == want.size(), what);
    for (size_t k = 0; k < got.size(); ++k) {
        FUZZ_CHECK(got[k].span.begin == want[k].span.begin, what);
        FUZZ_CHECK(got[k].span.end == want[k].span.end, what);
        FUZZ_CHECK(got[k].follows_gap == want[k].follows_gap, what);
    }
    FUZZ_CHECK(collapse_spaces(text, within, cc) == reference_collapse(text, within, cc), what);
}

void check_word_forms(std::u32string_view word, TextLanguage language, const std::string &what) {
    const std::u32string lower = to_lower(word);
    FUZZ_CHECK(to_lower(std::u32string_view(lower)) == lower, "lower case twice: " + what);
    const std::u32string folded = fold(word);
    FUZZ_CHECK(fold(folded) == folded, "folded twice: " + what);
    size_t marks = 0;
    for (char32_t c : word) marks += combining(c) ? 1 : 0;
    FUZZ_CHECK(folded.size() == word.size() - marks, what);
    const std::u32string lemma = lemmatize_word(folded, language);
    FUZZ_CHECK(lemma.empty() == folded.empty(), what);
    FUZZ_CHECK(lemma.size() + 3 >= folded.size() && lemma.size() <= folded.size() + 1, what);
    (void)is_stop_word(folded, language);
    (void)is_abbreviation(folded, language);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const CharClasses &cc = fuzz::pick_classes(in);
    const TextLanguage language = in.PickValueInArray(
        {TextLanguage::Portuguese, TextLanguage::English, TextLanguage::Spanish});
    const std::u32string text = fuzz::take_text(in, fuzz::kTextAlphabet, 400);
    const std::string what = fuzz::describe(text);

    const std::vector<TextSpan> sentences = split_sentences(text, language, cc);
    check_sentences(text, sentences, cc, what);
    check_words(text, {0, text.size()}, cc, what);
    for (const TextSpan &s : sentences) check_words(text, s, cc, what);
    if (!text.empty()) {
        const size_t a = in.ConsumeIntegralInRange<size_t>(0, text.size());
        const size_t b = in.ConsumeIntegralInRange<size_t>(a, text.size());
        check_words(text, {a, b}, cc, what);
    }
    for (const WordToken &w : split_words(text, {0, text.size()}, cc))
        check_word_forms(text.substr(w.span.begin, w.span.end - w.span.begin), language, what);
    check_word_forms(text, language, what);
    return 0;
}
