// Graph ranking the textbook way: PageRank on a dense weight matrix for a
// fixed, generous number of iterations; the sentence graph built pair by
// pair; the summary selection by a full sort. Shared by the kernel tests
// and the fuzzers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "wrapper_native/textrank.hpp"

namespace reference {

using Dense = std::vector<std::vector<double>>;

inline std::vector<double> dense_pagerank(const Dense &w, double d = wrapper_native::kDamping,
                                          int iterations = 3000) {
    const size_t n = w.size();
    std::vector<double> degree(n, 0), s(n, 1.0 / static_cast<double>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) degree[i] += w[i][j];
    for (int it = 0; it < iterations; ++it) {
        std::vector<double> next(n, 0);
        for (size_t i = 0; i < n; ++i) {
            double sum = 0;
            for (size_t j = 0; j < n; ++j) {
                if (degree[j] > 0)
                    sum += w[j][i] / degree[j] * s[j];
                else
                    sum += s[j] / static_cast<double>(n);
            }
            next[i] = (1 - d) / static_cast<double>(n) + d * sum;
        }
        s = next;
    }
    return s;
}

// The sentence graph written out pair by pair: cosine similarity, no loops.
inline Dense cosine_graph(const std::vector<wrapper_native::TermVector> &rows, size_t terms) {
    const size_t n = rows.size();
    Dense dense(n, std::vector<double>(terms, 0));
    for (size_t i = 0; i < n; ++i)
        for (const auto &[t, w] : rows[i]) dense[i][t] = w;
    Dense g(n, std::vector<double>(n, 0));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            double dot = 0, ni = 0, nj = 0;
            for (size_t t = 0; t < terms; ++t) {
                dot += dense[i][t] * dense[j][t];
                ni += dense[i][t] * dense[i][t];
                nj += dense[j][t] * dense[j][t];
            }
            g[i][j] = (ni > 0 && nj > 0) ? dot / std::sqrt(ni * nj) : 0;
        }
    return g;
}

// Indices by score, best first, equal scores in index order.
inline std::vector<size_t> sorted_by_score(const std::vector<double> &s) {
    std::vector<size_t> order(s.size());
    for (size_t i = 0; i < s.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t c) { return s[a] > s[c] || (s[a] == s[c] && a < c); });
    return order;
}

// Best first while the distance to the word budget does not grow; the
// chosen sentences in text order.
inline std::vector<size_t> greedy_selection(const std::vector<double> &s,
                                            const std::vector<size_t> &w, size_t b) {
    std::vector<size_t> expected;
    long long total = 0;
    for (size_t i : sorted_by_score(s)) {
        const long long before = std::llabs(static_cast<long long>(b) - total);
        const long long after =
            std::llabs(static_cast<long long>(b) - total - static_cast<long long>(w[i]));
        if (after > before) break;
        expected.push_back(i);
        total += static_cast<long long>(w[i]);
    }
    std::sort(expected.begin(), expected.end());
    return expected;
}

}  // namespace reference
