#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "difflib_reference.hpp"
#include "wrapper_native/close_match.hpp"

using wrapper_native::CloseMatchIndex;
using wrapper_native::difflib_ratio;
using wrapper_native::WordMatcher;
using reference::ReferenceMatcher;
using reference::reference_best;

namespace {

std::u32string random_word(std::mt19937 &rng, const std::u32string &alphabet, size_t min_len,
                           size_t max_len) {
    std::uniform_int_distribution<size_t> len(min_len, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::u32string w(len(rng), U'\0');
    for (auto &c : w) c = alphabet[pick(rng)];
    return w;
}

// A word near `base`: a few random edits.
std::u32string mutate(std::mt19937 &rng, std::u32string w, const std::u32string &alphabet) {
    std::uniform_int_distribution<int> edits(0, 3);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    for (int e = edits(rng); e > 0; --e) {
        const size_t n = w.size();
        std::uniform_int_distribution<size_t> pos(0, n);
        switch (rng() % 3) {
            case 0: w.insert(w.begin() + static_cast<long>(pos(rng)), alphabet[pick(rng)]); break;
            case 1: if (n) w.erase(w.begin() + static_cast<long>(pos(rng) % n)); break;
            default: if (n) w[pos(rng) % n] = alphabet[pick(rng)]; break;
        }
    }
    return w;
}

}  // namespace

TEST(WordMatcher, KnownRatios) {
    // Values difflib gives for these pairs.
    WordMatcher m(U"abcd");
    EXPECT_EQ(m.ratio(U"bcde"), 0.75);
    EXPECT_EQ(m.real_quick_ratio(U"bcde"), 1.0);
    EXPECT_EQ(m.quick_ratio(U"bcde"), 0.75);
    EXPECT_EQ(WordMatcher(U"").ratio(U""), 1.0);
    EXPECT_EQ(WordMatcher(U"abc").ratio(U""), 0.0);
    // One letter left out of a 6-letter term: 10/11.
    EXPECT_EQ(WordMatcher(U"pesqua").ratio(U"pesquisa") >= 0.9, false);
    EXPECT_EQ(WordMatcher(U"casas").ratio(U"casasa"), 2.0 * 5 / 11);
}

TEST(WordMatcher, MatchesReferenceOnRandomPairs) {
    std::mt19937 rng(1234);
    const std::u32string small = U"abc";
    const std::u32string wide = U"abcdefghij\u00e7\u00e3\u4e2d\U0001F600_0";
    for (int round = 0; round < 4000; ++round) {
        const std::u32string &alphabet = round % 2 ? small : wide;
        std::u32string b = random_word(rng, alphabet, 0, 14);
        std::u32string a = round % 3 ? mutate(rng, b, alphabet) : random_word(rng, alphabet, 0, 14);
        WordMatcher m(b);
        ReferenceMatcher ref(a, b);
        ASSERT_EQ(m.ratio(a), ref.ratio()) << round;
        ASSERT_EQ(m.quick_ratio(a), ref.quick_ratio()) << round;
        ASSERT_EQ(m.real_quick_ratio(a), ref.real_quick_ratio()) << round;
    }
}

TEST(WordMatcher, AutojunkOnLongWords) {
    // Words of 200+ characters drop their popular characters from the
    // match index; the ratio then differs from the junk-free one.
    std::mt19937 rng(99);
    const std::u32string alphabet = U"aab";
    int long_words = 0;
    for (int round = 0; round < 60; ++round) {
        std::u32string b = random_word(rng, alphabet, 195, 260);
        std::u32string a = mutate(rng, b, alphabet);
        if (round % 4 == 0) a = random_word(rng, U"abcde", 150, 260);
        ReferenceMatcher ref(a, b);
        const double r = WordMatcher(b).ratio(a);
        ASSERT_EQ(r, ref.ratio()) << round;
        if (b.size() >= 200) ++long_words;
    }
    // Values difflib gives: with every character popular no block can
    // start, yet a block met at the very start still extends.
    std::u32string ab;
    for (int k = 0; k < 150; ++k) ab += U"ab";
    std::u32string shifted(1, U'b'), x_first(1, U'x'), x_last = ab;
    shifted.append(ab, 0, 298);
    x_first.append(ab);
    x_last.push_back(U'x');
    EXPECT_EQ(WordMatcher(ab).ratio(shifted), 0.0);
    EXPECT_EQ(WordMatcher(x_first).ratio(x_last), 2.0 / 602);
    EXPECT_EQ(WordMatcher(std::u32string(300, U'a')).ratio(std::u32string(300, U'a')), 1.0);
    EXPECT_GT(long_words, 30);
}

TEST(CloseMatchIndex, MatchesReferenceGetCloseMatches) {
    std::mt19937 rng(7);
    const std::u32string alphabet = U"abcdeiou\u00e1\u00e7\u00f5st";
    for (int round = 0; round < 300; ++round) {
        std::vector<std::u32string> terms;
        const size_t n_terms = 1 + rng() % 60;
        for (size_t t = 0; t < n_terms; ++t) terms.push_back(random_word(rng, alphabet, 1, 12));
        // Duplicates and near duplicates make ties.
        for (size_t t = 0; t < 5 && !terms.empty(); ++t)
            terms.push_back(mutate(rng, terms[rng() % terms.size()], alphabet));
        CloseMatchIndex index(terms);
        for (double cutoff : {0.0, 0.6, 0.75, 0.9, 1.0}) {
            for (int q = 0; q < 5; ++q) {
                std::u32string word = q % 2 ? mutate(rng, terms[rng() % terms.size()], alphabet)
                                            : random_word(rng, alphabet, 1, 12);
                auto expected = reference_best(word, terms, cutoff);
                auto got = index.best(word, cutoff);
                ASSERT_EQ(got.has_value(), expected.has_value()) << round;
                if (got) {
                    ASSERT_EQ(std::u32string(index.term(*got)), *expected) << round;
                }
            }
        }
    }
}

TEST(CloseMatchIndex, TiesGoToTheGreaterTerm) {
    // "abcx" and "abcy" both score 6/8 against "abcz".
    CloseMatchIndex index({U"abcy", U"abcx", U"zzzz"});
    auto got = index.best(U"abcz", 0.6);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(index.term(*got), U"abcy");
    EXPECT_FALSE(index.best(U"abcz", 0.8).has_value());
    EXPECT_FALSE(CloseMatchIndex(std::vector<std::u32string>{}).best(U"abc", 0.0).has_value());
    // With cutoff 0 every term qualifies, even one with nothing in common.
    auto any = CloseMatchIndex({U"qq", U"zz"}).best(U"abc", 0.0);
    ASSERT_TRUE(any.has_value());
}
