// The normaliser and the tokenizer against their regular-expression
// readings: symbol removal, word-character filtering, the one-pass
// remove-and-collapse, the \w\w+ token pattern and the per-text term counts.
#include <string>
#include <vector>

#include "char_class_choice.hpp"
#include "char_filter_reference.hpp"
#include "fuzz_support.hpp"
#include "wrapper_native/char_filter.hpp"
#include "wrapper_native/tfidf_model.hpp"

using namespace wrapper_native;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const CharClasses &cc = fuzz::pick_classes(in);
    const std::u32string text = fuzz::take_text(in, fuzz::kTextAlphabet, 512);
    const std::string what = fuzz::describe(text);

    FUZZ_CHECK(remove_symbols(text, cc) == reference::without_symbols(text, cc), what);
    FUZZ_CHECK(keep_word_chars(text, cc) == reference::only_word_chars(text, cc), what);
    const std::u32string collapsed = remove_symbols_collapse_space(text, cc);
    FUZZ_CHECK(collapsed == reference::three_pass(text, cc), what);
    // Applying it again changes nothing: no symbol and no double blank left.
    FUZZ_CHECK(remove_symbols_collapse_space(collapsed, cc) == collapsed, what);

    std::vector<std::u32string> tokens;
    for_each_token(text, cc, [&](std::u32string_view t) { tokens.emplace_back(t); });
    const std::vector<std::u32string> expected = reference::word_tokens(text, cc);
    FUZZ_CHECK(tokens == expected, what);

    // Term counts: one entry per distinct token, in order of first
    // appearance, counts adding up to the number of tokens. Interning twice
    // into the same table must give the same ids.
    TermTable terms;
    const std::vector<TermCount> counts = count_terms(text, cc, terms);
    FUZZ_CHECK(count_terms(text, cc, terms).size() == counts.size(), what);
    FUZZ_CHECK(terms.size() == counts.size(), what);
    std::vector<std::u32string> distinct;
    std::vector<uint32_t> tally;
    for (const auto &t : expected) {
        size_t k = 0;
        while (k < distinct.size() && distinct[k] != t) ++k;
        if (k == distinct.size()) {
            distinct.push_back(t);
            tally.push_back(0);
        }
        ++tally[k];
    }
    FUZZ_CHECK(counts.size() == distinct.size(), what);
    for (size_t k = 0; k < counts.size(); ++k) {
        FUZZ_CHECK(terms.text(counts[k].term) == distinct[k], what);
        FUZZ_CHECK(counts[k].count == tally[k], what);
        FUZZ_CHECK(terms.find(distinct[k]) == counts[k].term, what);
    }
    FUZZ_CHECK(terms.find(U"a!") == TermTable::kMissing, "a term that is no token");
    return 0;
}
