// difflib.SequenceMatcher(None, a, b) and get_close_matches(n=1) written out
// line by line, with maps where difflib has dicts: slow and plainly the same
// algorithm. Shared by the kernel tests and the fuzzers.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "wrapper_native/close_match.hpp"

namespace reference {

struct ReferenceMatcher {
    std::u32string a, b;
    std::map<char32_t, std::vector<size_t>> b2j;

    ReferenceMatcher(std::u32string a_, std::u32string b_) : a(std::move(a_)), b(std::move(b_)) {
        for (size_t i = 0; i < b.size(); ++i) b2j[b[i]].push_back(i);
        const size_t n = b.size();
        if (n >= 200) {
            const size_t ntest = n / 100 + 1;
            std::set<char32_t> popular;
            for (auto &[elt, idxs] : b2j)
                if (idxs.size() > ntest) popular.insert(elt);
            for (char32_t elt : popular) b2j.erase(elt);
        }
    }

    std::tuple<size_t, size_t, size_t> find_longest_match(size_t alo, size_t ahi, size_t blo,
                                                          size_t bhi) const {
        size_t besti = alo, bestj = blo, bestsize = 0;
        std::map<size_t, size_t> j2len;
        for (size_t i = alo; i < ahi; ++i) {
            std::map<size_t, size_t> newj2len;
            auto it = b2j.find(a[i]);
            if (it != b2j.end()) {
                for (size_t j : it->second) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    size_t prev = 0;
                    if (j > 0 && j2len.count(j - 1)) prev = j2len.at(j - 1);
                    const size_t k = newj2len[j] = prev + 1;
                    if (k > bestsize) {
                        besti = i - k + 1;
                        bestj = j - k + 1;
                        bestsize = k;
                    }
                }
            }
            j2len = newj2len;
        }
        while (besti > alo && bestj > blo && a[besti - 1] == b[bestj - 1]) {
            --besti;
            --bestj;
            ++bestsize;
        }
        while (besti + bestsize < ahi && bestj + bestsize < bhi &&
               a[besti + bestsize] == b[bestj + bestsize])
            ++bestsize;
        return {besti, bestj, bestsize};
    }

    size_t matches(size_t alo, size_t ahi, size_t blo, size_t bhi) const {
        auto [i, j, k] = find_longest_match(alo, ahi, blo, bhi);
        if (k == 0) return 0;
        size_t total = k;
        if (alo < i && blo < j) total += matches(alo, i, blo, j);
        if (i + k < ahi && j + k < bhi) total += matches(i + k, ahi, j + k, bhi);
        return total;
    }
    double ratio() const {
        return wrapper_native::difflib_ratio(matches(0, a.size(), 0, b.size()),
                                             a.size() + b.size());
    }
    double quick_ratio() const {
        std::map<char32_t, long> avail;
        for (char32_t c : b) ++avail[c];
        size_t m = 0;
        for (char32_t c : a)
            if (avail[c]-- > 0) ++m;
        return wrapper_native::difflib_ratio(m, a.size() + b.size());
    }
    double real_quick_ratio() const {
        return wrapper_native::difflib_ratio(std::min(a.size(), b.size()), a.size() + b.size());
    }
};

// get_close_matches(word, terms, n=1, cutoff): every term through the
// three filters, then the largest (ratio, term) pair.
inline std::optional<std::u32string> reference_best(const std::u32string &word,
                                                    const std::vector<std::u32string> &terms,
                                                    double cutoff) {
    std::optional<std::pair<double, std::u32string>> best;
    for (const auto &x : terms) {
        ReferenceMatcher m(x, word);
        if (m.real_quick_ratio() >= cutoff && m.quick_ratio() >= cutoff && m.ratio() >= cutoff) {
            std::pair<double, std::u32string> cand{m.ratio(), x};
            if (!best || cand > *best) best = cand;
        }
    }
    if (!best) return std::nullopt;
    return best->second;
}

}  // namespace reference
