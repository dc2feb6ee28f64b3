#include <gtest/gtest.h>

#include <random>

#include "char_filter_reference.hpp"
#include "wrapper_native/char_filter.hpp"

using wrapper_native::ascii_classes;

namespace {

std::u32string three_pass_reference(std::u32string_view text) {
    return reference::three_pass(text, ascii_classes());
}

}  // namespace

TEST(CharFilter, RemovesSymbolsKeepsUnderscore) {
    EXPECT_EQ(wrapper_native::remove_symbols(U"a_b-c!", ascii_classes()), U"a_bc");
    EXPECT_EQ(wrapper_native::keep_word_chars(U"a-b c!", ascii_classes()), U"abc");
}

TEST(CharFilter, CollapseKeepsEndsAsOneBlank) {
    const auto &cc = ascii_classes();
    EXPECT_EQ(wrapper_native::remove_symbols_collapse_space(U" a  b ", cc), U" a b ");
    EXPECT_EQ(wrapper_native::remove_symbols_collapse_space(U"a \t!\n b", cc), U"a b");
    EXPECT_EQ(wrapper_native::remove_symbols_collapse_space(U"Ola, Mundo!\nTeste", cc),
              U"Ola Mundo Teste");
    EXPECT_EQ(wrapper_native::remove_symbols_collapse_space(U"", cc), U"");
    EXPECT_EQ(wrapper_native::remove_symbols_collapse_space(U"!!!", cc), U"");
}

TEST(CharFilter, OnePassEqualsThreePassesOnRandomText) {
    const std::u32string alphabet = U"ab_9 \t\n\r\x0b\x1c!?.-,";
    std::mt19937 rng(1234);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<size_t> length(0, 40);
    for (int trial = 0; trial < 20000; ++trial) {
        std::u32string text;
        for (size_t n = length(rng); n > 0; --n) text.push_back(alphabet[pick(rng)]);
        ASSERT_EQ(wrapper_native::remove_symbols_collapse_space(text, ascii_classes()),
                  three_pass_reference(text));
    }
}
