#include "wrapper_native/close_match.hpp"

#include <algorithm>
#include <bit>

namespace wrapper_native {

namespace {

// Lower-case letters, digits and "_" get a bit each (they are nearly all
// of a vocabulary); everything else shares the remaining 27 bits.
int mask_bit(char32_t c) {
    if (c >= U'a' && c <= U'z') return static_cast<int>(c - U'a');
    if (c >= U'0' && c <= U'9') return 26 + static_cast<int>(c - U'0');
    if (c == U'_') return 36;
    return 37 + static_cast<int>((static_cast<uint32_t>(c) * 2654435761u) % 27u);
}

}  // namespace

uint64_t char_mask(std::u32string_view text) {
    uint64_t mask = 0;
    for (char32_t c : text) mask |= uint64_t{1} << mask_bit(c);
    return mask;
}

WordMatcher::WordMatcher(std::u32string_view word) : b_(word) {
    distinct_.assign(b_.begin(), b_.end());
    std::sort(distinct_.begin(), distinct_.end());
    distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
    b2j_.resize(distinct_.size());
    full_count_.assign(distinct_.size(), 0);
    for (size_t j = 0; j < b_.size(); ++j) {
        const int slot = distinct_index(b_[j]);
        b2j_[slot].push_back(j);
        ++full_count_[slot];
    }
    // difflib's autojunk: in a second sequence of 200 or more items, an
    // item that fills more than 1% of it (plus one) is "popular" and never
    // starts a match (it can still extend one).
    const size_t n = b_.size();
    if (n >= 200) {
        const size_t ntest = n / 100 + 1;
        for (auto &positions : b2j_)
            if (positions.size() > ntest) positions.clear();
    }
    mask_ = wrapper_native::char_mask(b_);
    for (int k = 0; k < 2; ++k) {
        len_[k].assign(n, 0);
        gen_[k].assign(n, 0);
    }
    avail_.resize(distinct_.size());
}

int WordMatcher::distinct_index(char32_t c) const {
    auto it = std::lower_bound(distinct_.begin(), distinct_.end(), c);
    if (it == distinct_.end() || *it != c) return -1;
    return static_cast<int>(it - distinct_.begin());
}

double WordMatcher::real_quick_ratio(std::u32string_view a) const {
    return difflib_ratio(std::min(a.size(), b_.size()), a.size() + b_.size());
}

size_t WordMatcher::common_chars(std::u32string_view a) const {
    std::copy(full_count_.begin(), full_count_.end(), avail_.begin());
    size_t matches = 0;
    for (char32_t c : a) {
        const int slot = distinct_index(c);
        if (slot >= 0 && avail_[slot] > 0) {
            --avail_[slot];
            ++matches;
        }
    }
    return matches;
}

double WordMatcher::quick_ratio(std::u32string_view a) const {
    return difflib_ratio(common_chars(a), a.size() + b_.size());
}

// difflib's find_longest_match without an isjunk function: the longest
// block of b2j hits (earliest in a, then earliest in b, on ties), then
// widened by equal items on both sides (popular items included).
WordMatcher::Match WordMatcher::longest_match(std::u32string_view a,
                                              const std::vector<int> &a_slots, size_t alo,
                                              size_t ahi, size_t blo, size_t bhi) const {
    size_t besti = alo, bestj = blo, bestsize = 0;
    generation_ += 2;  // the row before the first one is never current
    for (size_t i = alo; i < ahi; ++i) {
        const uint64_t g = ++generation_;
        std::vector<size_t> &cur_len = len_[g & 1];
        std::vector<uint64_t> &cur_gen = gen_[g & 1];
        const std::vector<size_t> &prev_len = len_[(g - 1) & 1];
        const std::vector<uint64_t> &prev_gen = gen_[(g - 1) & 1];
        const int slot = a_slots[i];
        if (slot < 0) continue;
        for (size_t j : b2j_[slot]) {
            if (j < blo) continue;
            if (j >= bhi) break;
            const size_t k = (j > 0 && prev_gen[j - 1] == g - 1 ? prev_len[j - 1] : 0) + 1;
            cur_len[j] = k;
            cur_gen[j] = g;
            if (k > bestsize) {
                besti = i + 1 - k;
                bestj = j + 1 - k;
                bestsize = k;
            }
        }
    }
    while (besti > alo && bestj > blo && a[besti - 1] == b_[bestj - 1]) {
        --besti;
        --bestj;
        ++bestsize;
    }
    while (besti + bestsize < ahi && bestj + bestsize < bhi &&
           a[besti + bestsize] == b_[bestj + bestsize])
        ++bestsize;
    return {besti, bestj, bestsize};
}

size_t WordMatcher::matching_chars(std::u32string_view a) const {
    a_slots_.resize(a.size());
    for (size_t i = 0; i < a.size(); ++i) a_slots_[i] = distinct_index(a[i]);
    queue_.assign(1, Range{0, a.size(), 0, b_.size()});
    size_t total = 0;
    while (!queue_.empty()) {
        const Range r = queue_.back();
        queue_.pop_back();
        const Match m = longest_match(a, a_slots_, r.alo, r.ahi, r.blo, r.bhi);
        if (m.size == 0) continue;
        total += m.size;
        if (r.alo < m.i && r.blo < m.j) queue_.push_back({r.alo, m.i, r.blo, m.j});
        if (m.i + m.size < r.ahi && m.j + m.size < r.bhi)
            queue_.push_back({m.i + m.size, r.ahi, m.j + m.size, r.bhi});
    }
    return total;
}

double WordMatcher::ratio(std::u32string_view a) const {
    return difflib_ratio(matching_chars(a), a.size() + b_.size());
}

CloseMatchIndex::CloseMatchIndex(const std::vector<std::u32string> &terms)
    : count_(terms.size()) {
    offset_.resize(count_);
    length_.resize(count_);
    size_t total = 0;
    for (const auto &t : terms) total += t.size();
    arena_.reserve(total);
    for (size_t p = 0; p < count_; ++p) {
        offset_[p] = arena_.size();
        length_[p] = terms[p].size();
        arena_ += terms[p];
    }
    order_.resize(count_);
    for (size_t p = 0; p < count_; ++p) order_[p] = p;
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t x, size_t y) { return length_[x] < length_[y]; });
    mask_.resize(count_);
    for (size_t k = 0; k < count_; ++k) mask_[k] = wrapper_native::char_mask(term(order_[k]));
    for (size_t k = 0; k < count_;) {
        size_t e = k;
        while (e < count_ && length_[order_[e]] == length_[order_[k]]) ++e;
        buckets_.push_back({length_[order_[k]], k, e});
        k = e;
    }
}

std::u32string_view CloseMatchIndex::term(size_t position) const {
    return std::u32string_view(arena_).substr(offset_[position], length_[position]);
}

std::optional<size_t> CloseMatchIndex::best(std::u32string_view word, double cutoff) const {
    const WordMatcher matcher(word);
    const size_t lb = word.size();
    const uint64_t word_mask = matcher.char_mask();
    std::optional<size_t> best;
    double best_ratio = 0.0;
    for (const Bucket &bucket : buckets_) {
        const size_t la = bucket.length;
        const size_t total = la + lb;
        // Every filter below bounds the ratio from above with the same
        // rounding difflib uses, so no term that difflib accepts is skipped.
        if (difflib_ratio(std::min(la, lb), total) < cutoff) continue;
        for (size_t k = bucket.begin; k < bucket.end; ++k) {
            // Each character class of the term that the word lacks costs
            // at least one unmatched character.
            const size_t missing =
                static_cast<size_t>(std::popcount(mask_[k] & ~word_mask));
            if (difflib_ratio(la - missing, total) < cutoff) continue;
            const std::u32string_view a = term(order_[k]);
            if (difflib_ratio(matcher.common_chars(a), total) < cutoff) continue;
            const double r = matcher.ratio(a);
            if (r < cutoff) continue;
            if (!best || r > best_ratio || (r == best_ratio && a > term(*best))) {
                best = order_[k];
                best_ratio = r;
            }
        }
    }
    return best;
}

}  // namespace wrapper_native

namespace wrapper_native {

void CloseMatchSet::add(uint32_t id, std::u32string_view term) {
    if (id >= place_.size()) place_.resize(static_cast<size_t>(id) + 1);
    if (place_[id].index != UINT32_MAX) remove(id);
    const size_t length = term.size();
    if (length >= by_length_.size()) by_length_.resize(length + 1);
    auto &bucket = by_length_[length];
    place_[id] = {static_cast<uint32_t>(length), static_cast<uint32_t>(bucket.size())};
    bucket.push_back({id, char_mask(term), std::u32string(term)});
    ++count_;
}

void CloseMatchSet::remove(uint32_t id) {
    if (id >= place_.size() || place_[id].index == UINT32_MAX) return;
    const Place where = place_[id];
    auto &bucket = by_length_[where.length];
    if (where.index + 1 != bucket.size()) {
        bucket[where.index] = std::move(bucket.back());
        place_[bucket[where.index].id].index = where.index;
    }
    bucket.pop_back();
    if (bucket.empty()) bucket.shrink_to_fit();
    place_[id] = Place{};
    --count_;
}

std::optional<uint32_t> CloseMatchSet::best(std::u32string_view word, double cutoff) const {
    const WordMatcher matcher(word);
    const size_t lb = word.size();
    const uint64_t word_mask = matcher.char_mask();
    const Entry *best = nullptr;
    double best_ratio = 0.0;
    for (size_t la = 0; la < by_length_.size(); ++la) {
        const auto &bucket = by_length_[la];
        if (bucket.empty()) continue;
        const size_t total = la + lb;
        // The same upper bounds as CloseMatchIndex::best, in the same order.
        if (difflib_ratio(std::min(la, lb), total) < cutoff) continue;
        for (const Entry &e : bucket) {
            const size_t missing = static_cast<size_t>(std::popcount(e.mask & ~word_mask));
            if (difflib_ratio(la - missing, total) < cutoff) continue;
            if (difflib_ratio(matcher.common_chars(e.text), total) < cutoff) continue;
            const double r = matcher.ratio(e.text);
            if (r < cutoff) continue;
            if (!best || r > best_ratio || (r == best_ratio && e.text > best->text)) {
                best = &e;
                best_ratio = r;
            }
        }
    }
    if (!best) return std::nullopt;
    return best->id;
}

}  // namespace wrapper_native
