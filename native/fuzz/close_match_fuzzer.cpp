// The closest-match scorer against difflib written out plainly: every ratio
// of the reused matcher, and the term the index picks, on vocabularies of
// short words (many ties) and on long words (where autojunk applies).
#include <optional>
#include <string>
#include <vector>

#include "difflib_reference.hpp"
#include "fuzz_support.hpp"
#include "wrapper_native/close_match.hpp"

namespace {

// Few letters: overlaps and ties are common. Wide: accents, CJK, emoji and
// code points whose character-mask bits collide.
const std::u32string kSmall = U"aab";
const std::u32string kWide = U"abcdeiou_0\u00e1\u00e7\u00f5\u4e2d\U0001F600\u0100\u0140";

// A few edits (insert, delete, replace) at fuzzed places.
std::u32string edited(FuzzedDataProvider &in, std::u32string w, const std::u32string &alphabet) {
    for (size_t e = in.ConsumeIntegralInRange<size_t>(0, 6); e > 0; --e) {
        const size_t at = in.ConsumeIntegralInRange<size_t>(0, w.size());
        const char32_t c = alphabet[in.ConsumeIntegralInRange<size_t>(0, alphabet.size() - 1)];
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0: w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), c); break;
            case 1: if (at < w.size()) w.erase(at, 1); break;
            default: if (at < w.size()) w[at] = c; break;
        }
    }
    return w;
}

// A word of 190 to 260 characters: a short pattern repeated, then edited,
// so that some of its characters are popular (autojunk) and others not.
// An input that has run out of bytes still gets a long word.
std::u32string long_word(FuzzedDataProvider &in, const std::u32string &alphabet) {
    std::u32string pattern = fuzz::take_text(in, alphabet, 10);
    if (pattern.empty()) pattern = alphabet.substr(0, 2);
    const size_t length = 260 - in.ConsumeIntegralInRange<size_t>(0, 70);
    std::u32string w;
    while (w.size() < length) w += pattern;
    w.resize(length);
    return edited(in, w, alphabet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool long_words = in.ConsumeIntegralInRange(0, 3) == 0;
    const std::u32string &alphabet = in.ConsumeBool() ? kSmall : kWide;
    const double cutoff = in.ConsumeBool()
                              ? in.PickValueInArray({0.0, 0.5, 0.6, 0.75, 0.8, 0.9, 1.0})
                              : in.ConsumeProbability<double>();
    const size_t max_length = 14;
    const size_t term_count = in.ConsumeIntegralInRange<size_t>(0, long_words ? 3 : 40);

    const std::u32string word =
        long_words ? long_word(in, alphabet) : fuzz::take_text(in, alphabet, max_length);
    std::vector<std::u32string> terms;
    for (size_t t = 0; t < term_count; ++t) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:  // a duplicate: ties between equal terms
                if (!terms.empty()) {
                    terms.push_back(terms[in.ConsumeIntegralInRange<size_t>(0, terms.size() - 1)]);
                    break;
                }
                [[fallthrough]];
            case 1:  // near the word
                terms.push_back(edited(in, word, alphabet));
                break;
            default:
                terms.push_back(long_words ? long_word(in, alphabet)
                                           : fuzz::take_text(in, alphabet, max_length));
                break;
        }
    }

    // One matcher for every term, as the index uses it: its scratch rows
    // must never leak from one comparison into the next.
    const wrapper_native::WordMatcher matcher(word);
    for (const auto &term : terms) {
        const reference::ReferenceMatcher plain(term, word);
        const std::string what = fuzz::describe(term) + " vs " + fuzz::describe(word);
        FUZZ_CHECK(matcher.ratio(term) == plain.ratio(), what);
        FUZZ_CHECK(matcher.quick_ratio(term) == plain.quick_ratio(), what);
        FUZZ_CHECK(matcher.real_quick_ratio(term) == plain.real_quick_ratio(), what);
        // The mask filter of the index must bound the matches from above.
        const uint64_t missing = wrapper_native::char_mask(term) & ~matcher.char_mask();
        FUZZ_CHECK(
            matcher.matching_chars(term) + static_cast<size_t>(__builtin_popcountll(missing)) <=
                term.size(),
            what);
        FUZZ_CHECK(matcher.matching_chars(term) <= matcher.common_chars(term), what);
    }

    const wrapper_native::CloseMatchIndex index(terms);
    FUZZ_CHECK(index.size() == terms.size(), "index size");
    for (size_t p = 0; p < terms.size(); ++p) FUZZ_CHECK(index.term(p) == terms[p], "stored term");
    const std::optional<size_t> got = index.best(word, cutoff);
    const std::optional<std::u32string> expected = reference::reference_best(word, terms, cutoff);
    FUZZ_CHECK(got.has_value() == expected.has_value(), "a match found by one side only");
    if (got) {
        FUZZ_CHECK(*got < terms.size(), "position out of range");
        FUZZ_CHECK(terms[*got] == *expected, "picked " + fuzz::describe(terms[*got]) +
                                                 ", difflib picks " + fuzz::describe(*expected));
    }
    return 0;
}
