#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "ranking_reference.hpp"
#include "tfidf_reference.hpp"
#include "wrapper_native/tfidf_model.hpp"
#include "wrapper_native/tfidf_scoring.hpp"

using namespace wrapper_native;
using reference::Csr;
using reference::reference_page;
using reference::reference_scores;

namespace {

Csr random_csr(std::mt19937 &rng, size_t rows, size_t cols) {
    Csr m{rows, cols, {}, {}, {0}};
    std::uniform_real_distribution<double> value(0.01, 1.0);
    for (size_t r = 0; r < rows; ++r) {
        std::vector<int32_t> row(cols);
        std::iota(row.begin(), row.end(), 0);
        std::shuffle(row.begin(), row.end(), rng);  // stored order is not column order
        row.resize(rng() % (cols + 1));
        if (r % 5 == 0) row.clear();  // rows without any term
        for (int32_t c : row) {
            m.indices.push_back(c);
            m.data.push_back(value(rng));
        }
        normalize_l2(m.data.data() + m.indptr.back(), row.size());
        m.indptr.push_back(static_cast<int32_t>(m.data.size()));
    }
    return m;
}

}  // namespace

TEST(PostingIndex, ScoresEqualTheRowByRowProduct) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        Csr m = random_csr(rng, 1 + rng() % 30, 1 + rng() % 12);
        PostingIndex index(m.rows, m.cols, m.data.data(), m.indices.data(), m.indptr.data());
        std::vector<uint32_t> tokens;
        for (size_t k = rng() % 8; k > 0; --k) tokens.push_back(static_cast<uint32_t>(rng() % m.cols));
        std::vector<double> idf(m.cols);
        for (auto &v : idf) v = 1.0 + (rng() % 1000) / 997.0;
        auto query = query_row(tokens, idf.data());
        std::vector<double> scores(m.rows);
        index.score(query, scores.data());
        ASSERT_EQ(scores, reference_scores(m, query)) << round;
    }
}

TEST(PostingIndex, RejectsMalformedMatrices) {
    std::vector<double> data{1.0};
    std::vector<int32_t> bad_col{3}, indptr{0, 1};
    EXPECT_THROW(PostingIndex(1, 2, data.data(), bad_col.data(), indptr.data()),
                 std::invalid_argument);
    std::vector<int32_t> col{0}, bad_ptr{1, 1};
    EXPECT_THROW(PostingIndex(1, 2, data.data(), col.data(), bad_ptr.data()),
                 std::invalid_argument);
}

TEST(QueryRow, CountsInColumnOrderNormalisedTwice) {
    std::vector<double> idf{2.0, 1.0, 3.0};
    auto row = query_row({2, 0, 2}, idf.data());
    ASSERT_EQ(row.size(), 2u);
    EXPECT_EQ(row[0].first, 0u);
    EXPECT_EQ(row[1].first, 2u);
    std::vector<double> once{2.0, 6.0};
    normalize_l2(once.data(), 2);
    normalize_l2(once.data(), 2);
    EXPECT_EQ(row[0].second, once[0]);
    EXPECT_EQ(row[1].second, once[1]);
    EXPECT_TRUE(query_row({}, idf.data()).empty());
}

TEST(RankedSlice, StableDescendingPageStopsAtZero) {
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        std::vector<double> scores(rng() % 25);
        for (auto &s : scores) s = (rng() % 4 == 0) ? 0.0 : (rng() % 5) / 4.0;  // many ties
        const size_t start = rng() % (scores.size() + 3);
        const size_t stop = start + rng() % 12;
        ASSERT_EQ(ranked_positive_slice(scores.data(), scores.size(), start, stop),
                  reference_page(scores, start, stop))
            << round;
    }
    std::vector<double> s{0.5, 0.5, 0.2};
    EXPECT_EQ(ranked_positive_slice(s.data(), 3, 0, 2), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(ranked_positive_slice(s.data(), 3, 2, 4), (std::vector<size_t>{2}));
}
