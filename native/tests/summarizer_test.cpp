#include <gtest/gtest.h>

#include <algorithm>

#include "latin_classes.hpp"
#include "wrapper_native/summarizer.hpp"

using namespace wrapper_native;
using test_support::latin_classes;

namespace {

// A short news item on one subject, with two sentences off the subject.
const std::u32string kNews =
    U"O governo anunciou nesta segunda-feira uma reforma tributária ampla. "
    U"A reforma tributária simplifica impostos sobre o consumo. "
    U"Segundo o ministro, a reforma tributária reduz a burocracia das empresas. "
    U"O time da casa venceu o clássico de domingo por dois a zero. "
    U"Economistas avaliam que a reforma tributária pode elevar a arrecadação. "
    U"Os estados temem perder receita com a reforma tributária. "
    U"Choveu forte no litoral durante toda a madrugada. "
    U"O Congresso deve votar a reforma tributária até dezembro. "
    U"Empresas pedem regras claras na transição dos impostos. "
    U"A proposta unifica cinco impostos em um imposto sobre valor agregado.";

std::vector<std::u32string> keyword_texts(const std::vector<Keyword> &kws) {
    std::vector<std::u32string> out;
    for (const auto &k : kws) out.push_back(k.text);
    return out;
}

}  // namespace

TEST(Summarizer, KeepsTheRatioOfSentencesOnTheSubjectInTextOrder) {
    SummaryOptions options;
    options.ratio = 0.3;
    const auto summary = summarize_text(kNews, options, latin_classes());
    ASSERT_EQ(summary.size(), 3u);
    size_t last = 0;
    for (const auto &s : summary) {
        const size_t at = kNews.find(s);
        ASSERT_NE(at, std::u32string::npos);
        EXPECT_GE(at, last);
        last = at;
        EXPECT_EQ(s.find(U"clássico"), std::u32string::npos);
        EXPECT_EQ(s.find(U"Choveu"), std::u32string::npos);
    }
}

TEST(Summarizer, WordBudgetReplacesTheRatio) {
    SummaryOptions options;
    options.word_count = 12;
    const auto summary = summarize_text(kNews, options, latin_classes());
    ASSERT_FALSE(summary.empty());
    size_t words = 0;
    for (const auto &s : summary) words += static_cast<size_t>(std::count(s.begin(), s.end(), U' ')) + 1;
    EXPECT_LE(words, 12u + 12u / 2);  // never farther past the budget than short of it
    options.word_count = 0;
    EXPECT_TRUE(summarize_text(kNews, options, latin_classes()).empty());
    EXPECT_TRUE(summarize_text(U"", SummaryOptions{}, latin_classes()).empty());
    // One sentence is summarised by itself.
    EXPECT_EQ(summarize_text(U"  Uma frase   só.  ", SummaryOptions{}, latin_classes()),
              std::vector<std::u32string>{U"Uma frase só."});
}

TEST(Summarizer, KeywordsComeFromTheTextBestFirst) {
    KeywordOptions options;
    options.words = 5;
    options.lemmatize = true;
    const auto kws = extract_keywords(kNews, options, latin_classes());
    ASSERT_FALSE(kws.empty());
    ASSERT_LE(kws.size(), 5u);
    // The subject repeated side by side becomes one phrase, and it leads.
    EXPECT_EQ(kws.front().text, U"reforma tributária");
    for (size_t i = 1; i < kws.size(); ++i) EXPECT_GE(kws[i - 1].score, kws[i].score);
    std::u32string lowered = to_lower(std::u32string_view(kNews));
    for (const auto &k : kws) EXPECT_NE(lowered.find(k.text), std::u32string::npos) << "missing";
}

TEST(Summarizer, LemmatisationGroupsPluralsUnderTheCommonForm) {
    const std::u32string text =
        U"As eleições municipais mobilizam eleitores. A eleição municipal de São Paulo "
        U"atrai eleitores. Eleições exigem fiscalização. Fiscalização das eleições cresce.";
    KeywordOptions options;
    options.words = 10;
    options.lemmatize = true;
    const auto grouped = keyword_texts(extract_keywords(text, options, latin_classes()));
    EXPECT_EQ(std::count(grouped.begin(), grouped.end(), U"eleição"), 0);
    EXPECT_NE(std::find(grouped.begin(), grouped.end(), U"eleições"), grouped.end());
    options.lemmatize = false;
    const auto separate = keyword_texts(extract_keywords(text, options, latin_classes()));
    EXPECT_NE(std::find(separate.begin(), separate.end(), U"eleição"), separate.end());
}

TEST(Summarizer, KeywordCountFollowsRatioOrNumber) {
    KeywordOptions options;
    options.ratio = 1.0;
    const auto all = extract_keywords(U"Gatos caçam ratos. Ratos fogem de gatos.", options,
                                      latin_classes());
    EXPECT_EQ(all.size(), 4u);  // gatos, caçam, ratos, fogem
    options.words = 0;
    EXPECT_TRUE(extract_keywords(kNews, options, latin_classes()).empty());
    EXPECT_TRUE(extract_keywords(U"de a o e que", KeywordOptions{}, latin_classes()).empty());
}
