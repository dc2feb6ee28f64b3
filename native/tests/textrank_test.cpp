#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "pagerank_reference.hpp"
#include "wrapper_native/textrank.hpp"

using namespace wrapper_native;

using reference::cosine_graph;
using reference::Dense;
using reference::dense_pagerank;

TEST(TextRank, SparsePageRankMatchesDenseReference) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const size_t n = 1 + trial % 25;
        Dense dense(n, std::vector<double>(n, 0));
        WeightedAdjacency graph(n);
        std::uniform_real_distribution<double> weight(0.1, 3.0);
        std::bernoulli_distribution edge(0.2);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = i + 1; j < n; ++j)
                if (edge(rng)) {
                    const double w = weight(rng);
                    dense[i][j] = dense[j][i] = w;
                    graph[i].emplace_back(j, w);
                    graph[j].emplace_back(i, w);
                }
        const auto expected = dense_pagerank(dense);
        const auto got = pagerank(graph);
        ASSERT_EQ(got.size(), n);
        double total = 0;
        for (size_t i = 0; i < n; ++i) {
            ASSERT_NEAR(got[i], expected[i], 1e-10) << "trial " << trial;
            total += got[i];
        }
        EXPECT_NEAR(total, 1.0, 1e-9);
    }
    EXPECT_TRUE(pagerank({}).empty());
}

TEST(TextRank, SimilarityRankingMatchesPairwiseGraph) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 150; ++trial) {
        const size_t n = 1 + trial % 30, terms = 2 + trial % 17;
        std::uniform_int_distribution<size_t> term(0, terms - 1), length(0, 6);
        std::uniform_real_distribution<double> weight(0.5, 4.0);
        std::vector<TermVector> rows(n);
        for (auto &row : rows) {
            std::vector<bool> seen(terms, false);
            for (size_t k = length(rng); k > 0; --k) {
                const size_t t = term(rng);
                if (seen[t]) continue;
                seen[t] = true;
                row.emplace_back(t, weight(rng));
            }
        }
        const auto expected = dense_pagerank(cosine_graph(rows, terms));
        const auto got = rank_by_similarity(rows, terms);
        for (size_t i = 0; i < n; ++i) ASSERT_NEAR(got[i], expected[i], 1e-10) << "trial " << trial;
    }
}

TEST(TextRank, CentralSentenceWinsAndIsolatedOnesTrail) {
    // Sentence 0 shares a term with each of 1..3; 4 shares nothing.
    std::vector<TermVector> rows = {
        {{0, 1}, {1, 1}, {2, 1}}, {{0, 1}, {3, 1}}, {{1, 1}, {4, 1}}, {{2, 1}, {5, 1}}, {{6, 1}}};
    const auto scores = rank_by_similarity(rows, 7);
    const auto order = rank_order(scores);
    EXPECT_EQ(order.front(), 0u);
    EXPECT_EQ(order.back(), 4u);
}

TEST(TextRank, RatioKeepsAtLeastOneSentence) {
    EXPECT_EQ(ratio_count(0, 0.2), 0u);
    EXPECT_EQ(ratio_count(4, 0.2), 1u);
    EXPECT_EQ(ratio_count(20, 0.2), 4u);
    EXPECT_EQ(ratio_count(100, 0.29), 29u);
    EXPECT_EQ(ratio_count(5, 0.0), 0u);
    EXPECT_EQ(ratio_count(5, 1.0), 5u);
    // Ratios past one keep everything, however large.
    EXPECT_EQ(ratio_count(5, 1.5), 5u);
    EXPECT_EQ(ratio_count(5, 1e300), 5u);
    EXPECT_EQ(ratio_count(5, std::numeric_limits<double>::infinity()), 5u);
    EXPECT_EQ(ratio_count(5, std::numeric_limits<double>::quiet_NaN()), 0u);
}

TEST(TextRank, SelectionIsBestFirstThenTextOrder) {
    const std::vector<double> scores = {0.1, 0.4, 0.2, 0.3, 0.4};
    const std::vector<size_t> words = {5, 10, 4, 6, 8};
    EXPECT_EQ(select_sentences(scores, words, 0.4, std::nullopt),
              (std::vector<size_t>{1, 4}));  // equal scores: the earlier first
    EXPECT_EQ(select_sentences(scores, words, 0.0, std::nullopt), std::vector<size_t>{});
    // Budget 20: 10 (1), then 8 (4) -> 18; adding 6 would end 4 past it,
    // farther than the 2 short of it, so the selection stops.
    EXPECT_EQ(select_sentences(scores, words, 0.2, size_t{20}), (std::vector<size_t>{1, 4}));
    EXPECT_EQ(select_sentences(scores, words, 0.2, size_t{21}), (std::vector<size_t>{1, 3, 4}));
    EXPECT_EQ(select_sentences(scores, words, 0.2, size_t{0}), std::vector<size_t>{});
}

TEST(TextRank, WordBudgetMatchesGreedyReference) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> score(0, 1);
    std::uniform_int_distribution<size_t> words(1, 30), budget(0, 200);
    for (int trial = 0; trial < 500; ++trial) {
        const size_t n = 1 + trial % 20;
        std::vector<double> s(n);
        std::vector<size_t> w(n);
        for (size_t i = 0; i < n; ++i) {
            s[i] = score(rng);
            w[i] = words(rng);
        }
        const size_t b = budget(rng);
        const std::vector<size_t> expected = reference::greedy_selection(s, w, b);
        ASSERT_EQ(select_sentences(s, w, 0.2, b), expected) << "trial " << trial;
    }
}
