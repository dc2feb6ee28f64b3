#include "wrapper_native/score_page.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace wrapper_native {
namespace {

// Strict "ranks before": greater score first, NaN before any number.
template <class Score>
struct RanksBefore {
    const Score *scores;
    bool operator()(size_t a, size_t b) const {
        const Score x = scores[a], y = scores[b];
        if (std::isnan(x)) return !std::isnan(y);
        if (std::isnan(y)) return false;
        return x > y;
    }
};

}  // namespace

template <class Score>
std::vector<size_t> descending_page(const Score *scores, size_t n, size_t begin, size_t end) {
    end = std::min(end, n);
    if (begin >= end) return {};
    const RanksBefore<Score> before{scores};
    std::vector<size_t> top;
    if (end * 8 <= n) {
        // Short page near the top (the usual query): one pass keeping the
        // best `end` positions in a heap whose root is the worst of them.
        top.reserve(end);
        for (size_t i = 0; i < n; ++i) {
            if (top.size() < end) {
                top.push_back(i);
                std::push_heap(top.begin(), top.end(), before);
            } else if (before(i, top.front())) {
                std::pop_heap(top.begin(), top.end(), before);
                top.back() = i;
                std::push_heap(top.begin(), top.end(), before);
            }
        }
    } else {
        top.resize(n);
        std::iota(top.begin(), top.end(), size_t{0});
        if (end < n) std::nth_element(top.begin(), top.begin() + end, top.end(), before);
        top.resize(end);
    }
    // Only the page itself needs ordering.
    std::nth_element(top.begin(), top.begin() + begin, top.end(), before);
    std::sort(top.begin() + begin, top.end(), before);
    return std::vector<size_t>(top.begin() + begin, top.end());
}

template std::vector<size_t> descending_page<float>(const float *, size_t, size_t, size_t);
template std::vector<size_t> descending_page<double>(const double *, size_t, size_t, size_t);

}  // namespace wrapper_native
