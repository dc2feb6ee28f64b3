#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>

#include "ranking_reference.hpp"
#include "wrapper_native/score_page.hpp"

using wrapper_native::descending_page;

namespace {

using reference::full_sort_reference;

bool same_score(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Tied positions may come in any order: the scores along the page must
// match the reference and the positions must be distinct.
template <class Score>
void expect_page(const std::vector<Score> &s, size_t begin, size_t end) {
    const auto got = descending_page(s.data(), s.size(), begin, end);
    const auto want = full_sort_reference(s, begin, end);
    ASSERT_EQ(got.size(), want.size()) << "begin " << begin << " end " << end;
    std::set<size_t> seen;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_LT(got[i], s.size());
        EXPECT_TRUE(same_score(s[got[i]], s[want[i]]))
            << "rank " << begin + i << ": " << s[got[i]] << " vs " << s[want[i]];
        EXPECT_TRUE(seen.insert(got[i]).second) << "position " << got[i] << " twice";
    }
}

}  // namespace

TEST(ScorePage, HighestFirstAndPageCut) {
    const std::vector<float> s{0.3f, 0.8f, -0.1f, 0.5f};
    EXPECT_EQ(descending_page(s.data(), s.size(), 0, 10), (std::vector<size_t>{1, 3, 0, 2}));
    EXPECT_EQ(descending_page(s.data(), s.size(), 2, 4), (std::vector<size_t>{0, 2}));
    EXPECT_EQ(descending_page(s.data(), s.size(), 3, 3), std::vector<size_t>{});
    EXPECT_EQ(descending_page(s.data(), s.size(), 5, 9), std::vector<size_t>{});
    EXPECT_EQ(descending_page(s.data(), size_t{0}, 0, 10), std::vector<size_t>{});
}

TEST(ScorePage, NanRanksAboveEveryNumber) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> s{1.0, nan, inf, -inf};
    EXPECT_EQ(descending_page(s.data(), s.size(), 0, 4), (std::vector<size_t>{1, 2, 0, 3}));
}

TEST(ScorePage, MatchesFullSortOnRandomScoresWithTies) {
    std::mt19937 rng(7);
    for (size_t n : {1u, 2u, 9u, 64u, 1000u}) {
        for (int round = 0; round < 20; ++round) {
            // Few distinct values: many ties; some NaN.
            std::uniform_int_distribution<int> value(-4, 4);
            std::vector<float> s(n);
            for (auto &x : s) {
                const int v = value(rng);
                x = v == 4 && round % 3 == 0 ? std::numeric_limits<float>::quiet_NaN()
                                             : static_cast<float>(v) / 4.0f;
            }
            std::uniform_int_distribution<size_t> bound(0, n + 3);
            size_t a = bound(rng), b = bound(rng);
            if (a > b) std::swap(a, b);
            expect_page(s, a, b);
            expect_page(s, 0, std::min<size_t>(10, n));  // the heap path
            expect_page(s, 0, n);                        // the full-selection path
        }
    }
}

TEST(ScorePage, DistinctDoublesGiveTheExactOrder) {
    std::mt19937 rng(11);
    std::normal_distribution<double> normal;
    std::vector<double> s(5000);
    for (auto &x : s) x = normal(rng);
    for (auto [a, b] : {std::pair<size_t, size_t>{0, 10}, {10, 20}, {4990, 5000}, {0, 5000}})
        EXPECT_EQ(descending_page(s.data(), s.size(), a, b), full_sort_reference(s, a, b));
}
