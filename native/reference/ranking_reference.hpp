// Ranked pages by sorting everything. Shared by the kernel tests and the
// fuzzers.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace reference {

// The stable descending order of the scores (a stable sort on the negated
// score), from `start` to `stop`, ending at the first score that is not
// positive. Scores must not be NaN.
inline std::vector<size_t> reference_page(const std::vector<double> &scores, size_t start,
                                          size_t stop) {
    std::vector<size_t> order(scores.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t x, size_t y) { return -scores[x] < -scores[y]; });
    std::vector<size_t> page;
    for (size_t k = start; k < std::min(stop, order.size()); ++k) {
        if (!(scores[order[k]] > 0)) break;
        page.push_back(order[k]);
    }
    return page;
}

// Sort everything: an ascending argsort reversed, NaN on top.
template <class Score>
std::vector<size_t> full_sort_reference(const std::vector<Score> &s, size_t begin, size_t end) {
    std::vector<size_t> order(s.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (std::isnan(s[a])) return !std::isnan(s[b]);
        if (std::isnan(s[b])) return false;
        return s[a] > s[b];
    });
    end = std::min(end, s.size());
    if (begin >= end) return {};
    return std::vector<size_t>(order.begin() + begin, order.begin() + end);
}

}  // namespace reference
