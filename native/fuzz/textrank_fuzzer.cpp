// Graph ranking against the textbook computations: sparse PageRank and the
// implicit sentence-similarity PageRank against dense matrices iterated to
// the end, the ranking order, the ratio rule for any ratio, and the
// sentence selection against a full sort.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "pagerank_reference.hpp"
#include "wrapper_native/textrank.hpp"

using namespace wrapper_native;

namespace {

// Both sides converge on the same fixed point; the kernel stops at an L1
// change of 1e-12, the reference after 3000 iterations.
constexpr double kTolerance = 1e-9;

void check_close(const std::vector<double> &got, const std::vector<double> &want,
                 const char *what) {
    FUZZ_CHECK(got.size() == want.size(), what);
    double total = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(std::fabs(got[i] - want[i]) <= kTolerance,
                   std::string(what) + ": node " + std::to_string(i) + " " +
                       std::to_string(got[i]) + " vs " + std::to_string(want[i]));
        total += got[i];
    }
    if (!got.empty()) FUZZ_CHECK(std::fabs(total - 1.0) <= kTolerance, what);
}

void check_weighted_graph(FuzzedDataProvider &in) {
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, 24);
    reference::Dense dense(n, std::vector<double>(n, 0));
    WeightedAdjacency graph(n);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            if (in.ConsumeIntegralInRange(0, 3) != 0) continue;
            const double w = in.ConsumeBool() ? in.PickValueInArray({1.0, 2.0, 3.0, 0.5})
                                              : in.ConsumeFloatingPointInRange(0.01, 100.0);
            dense[i][j] = dense[j][i] = w;
            graph[i].emplace_back(j, w);
            graph[j].emplace_back(i, w);
        }
    const std::vector<double> want =
        n ? reference::dense_pagerank(dense, kDamping, fuzz::kPagerankIterations)
          : std::vector<double>{};
    check_close(pagerank(graph), want, "pagerank");
}

void check_similarity_graph(FuzzedDataProvider &in) {
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, 24);
    const size_t terms = in.ConsumeIntegralInRange<size_t>(1, 16);
    std::vector<TermVector> rows(n);
    for (auto &row : rows) {
        std::vector<bool> seen(terms, false);
        for (size_t k = in.ConsumeIntegralInRange<size_t>(0, 6); k > 0; --k) {
            const size_t t = in.ConsumeIntegralInRange<size_t>(0, terms - 1);
            if (seen[t]) continue;
            seen[t] = true;
            // The summariser's weights: counts times an idf of 1 or more.
            row.emplace_back(t, in.ConsumeBool() ? in.PickValueInArray({1.0, 2.0, 1.5})
                                                 : in.ConsumeFloatingPointInRange(1.0, 400.0));
        }
    }
    const std::vector<double> want =
        n ? reference::dense_pagerank(reference::cosine_graph(rows, terms), kDamping,
                                    fuzz::kPagerankIterations) : std::vector<double>{};
    check_close(rank_by_similarity(rows, terms), want, "rank_by_similarity");
}

void check_ratio(FuzzedDataProvider &in) {
    const size_t count = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 1000)
                                          : in.ConsumeIntegral<size_t>();
    const double ratio =
        in.ConsumeBool()
            ? in.PickValueInArray({0.0, -0.0, 0.2, 0.29, 1.0, 1.5, 1e300, -1.0,
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::denorm_min()})
            : in.ConsumeFloatingPoint<double>();
    size_t want = 0;
    if (count > 0 && ratio > 0) {
        want = count;
        const double kept = std::floor(static_cast<double>(count) * ratio + 1e-9);
        if (kept < static_cast<double>(count)) want = kept < 1 ? 1 : static_cast<size_t>(kept);
    }
    FUZZ_CHECK(ratio_count(count, ratio) == want,
               "ratio_count(" + std::to_string(count) + ", " + std::to_string(ratio) + ")");
}

void check_selection(FuzzedDataProvider &in) {
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, 30);
    std::vector<double> scores(n);
    std::vector<size_t> words(n);
    for (size_t i = 0; i < n; ++i) {
        scores[i] = in.ConsumeBool() ? in.PickValueInArray({0.1, 0.2, 0.25})
                                     : in.ConsumeProbability<double>();
        words[i] = in.ConsumeIntegralInRange<size_t>(0, 60);
    }
    const std::vector<size_t> order = rank_order(scores);
    FUZZ_CHECK(order == reference::sorted_by_score(scores), "rank_order");

    const double ratio = in.ConsumeFloatingPointInRange(-0.5, 1.5);
    const auto kept = static_cast<std::ptrdiff_t>(ratio_count(n, ratio));
    std::vector<size_t> by_ratio(order.begin(), order.begin() + kept);
    std::sort(by_ratio.begin(), by_ratio.end());
    FUZZ_CHECK(select_sentences(scores, words, ratio, std::nullopt) == by_ratio, "ratio selection");

    const size_t budget = in.ConsumeIntegralInRange<size_t>(0, size_t{1} << 40);
    FUZZ_CHECK(select_sentences(scores, words, ratio, budget) ==
                   reference::greedy_selection(scores, words, budget),
               "budget selection");
    // A budget no text can reach takes every sentence.
    const size_t unbounded = std::numeric_limits<size_t>::max();
    FUZZ_CHECK(select_sentences(scores, words, ratio, unbounded).size() == n, "unbounded budget");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: check_weighted_graph(in); break;
        case 1: check_similarity_graph(in); break;
        case 2: check_ratio(in); break;
        default: check_selection(in); break;
    }
    return 0;
}
