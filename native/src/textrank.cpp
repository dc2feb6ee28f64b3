#include "wrapper_native/textrank.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace wrapper_native {
namespace {

double l1_distance(const std::vector<double> &a, const std::vector<double> &b) {
    double d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += std::fabs(a[i] - b[i]);
    return d;
}

}  // namespace

std::vector<double> pagerank(const WeightedAdjacency &graph, double damping,
                             double tolerance, int max_iterations) {
    const size_t n = graph.size();
    if (n == 0) return {};
    std::vector<double> degree(n, 0.0);
    for (size_t i = 0; i < n; ++i)
        for (const auto &[j, w] : graph[i]) degree[i] += w;
    std::vector<double> score(n, 1.0 / static_cast<double>(n)), next(n);
    for (int it = 0; it < max_iterations; ++it) {
        double dangling = 0;
        for (size_t i = 0; i < n; ++i)
            if (degree[i] <= 0) dangling += score[i];
        const double base = (1.0 - damping + damping * dangling) / static_cast<double>(n);
        std::fill(next.begin(), next.end(), base);
        for (size_t j = 0; j < n; ++j) {
            if (degree[j] <= 0) continue;
            const double share = damping * score[j] / degree[j];
            for (const auto &[i, w] : graph[j]) next[i] += share * w;
        }
        const double change = l1_distance(score, next);
        score.swap(next);
        if (change < tolerance) break;
    }
    return score;
}

std::vector<double> rank_by_similarity(const std::vector<TermVector> &sentences,
                                       size_t term_count, double damping,
                                       double tolerance, int max_iterations) {
    const size_t n = sentences.size();
    if (n == 0) return {};
    // Unit vectors u_i; the similarity matrix is U U^T without its diagonal.
    std::vector<TermVector> unit(sentences);
    std::vector<size_t> df(term_count, 0);
    std::vector<double> self(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        double norm = 0;
        for (const auto &[t, w] : unit[i]) norm += w * w;
        norm = std::sqrt(norm);
        for (auto &[t, w] : unit[i]) {
            w /= norm;
            self[i] += w * w;
            ++df[t];
        }
    }
    // Degrees: u_i . (sum of all u_j) - u_i . u_i. A sentence whose terms no
    // other sentence has is dangling; deciding that from the counts keeps
    // rounding residue from giving it a tiny degree.
    std::vector<double> total(term_count, 0.0);
    for (const auto &u : unit)
        for (const auto &[t, w] : u) total[t] += w;
    std::vector<double> degree(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        bool shares = false;
        double dot = 0;
        for (const auto &[t, w] : unit[i]) {
            dot += w * total[t];
            shares = shares || df[t] > 1;
        }
        degree[i] = shares ? std::max(dot - self[i], 0.0) : 0.0;
    }

    std::vector<double> score(n, 1.0 / static_cast<double>(n)), next(n), share(n);
    std::vector<double> flow(term_count);
    for (int it = 0; it < max_iterations; ++it) {
        double dangling = 0;
        std::fill(flow.begin(), flow.end(), 0.0);
        for (size_t j = 0; j < n; ++j) {
            if (degree[j] <= 0) {
                dangling += score[j];
                share[j] = 0;
                continue;
            }
            share[j] = score[j] / degree[j];
            for (const auto &[t, w] : unit[j]) flow[t] += share[j] * w;
        }
        const double base = (1.0 - damping + damping * dangling) / static_cast<double>(n);
        for (size_t i = 0; i < n; ++i) {
            double inflow = 0;
            for (const auto &[t, w] : unit[i]) inflow += w * flow[t];
            inflow = std::max(inflow - self[i] * share[i], 0.0);
            next[i] = base + damping * inflow;
        }
        const double change = l1_distance(score, next);
        score.swap(next);
        if (change < tolerance) break;
    }
    return score;
}

std::vector<size_t> rank_order(const std::vector<double> &scores) {
    std::vector<size_t> order(scores.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    return order;
}

size_t ratio_count(size_t count, double ratio) {
    if (count == 0 || !(ratio > 0)) return 0;
    // The epsilon absorbs products like 0.29 * 100 = 28.999999999999996.
    const double kept = std::floor(static_cast<double>(count) * ratio + 1e-9);
    // Checked before the conversion: a huge or infinite ratio has no size_t.
    if (!(kept < static_cast<double>(count))) return count;
    return std::max<size_t>(static_cast<size_t>(kept), 1);
}

std::vector<size_t> select_sentences(const std::vector<double> &scores,
                                     const std::vector<size_t> &word_counts, double ratio,
                                     std::optional<size_t> word_budget) {
    const std::vector<size_t> order = rank_order(scores);
    std::vector<size_t> chosen;
    if (word_budget) {
        const double budget = static_cast<double>(*word_budget);
        double length = 0;
        for (size_t i : order) {
            const double words = static_cast<double>(word_counts[i]);
            if (std::fabs(budget - length - words) > std::fabs(budget - length)) break;
            chosen.push_back(i);
            length += words;
        }
    } else {
        const size_t keep = ratio_count(scores.size(), ratio);
        chosen.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

}  // namespace wrapper_native
