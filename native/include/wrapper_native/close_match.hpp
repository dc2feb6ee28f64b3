// Closest-term lookup with the exact results of Python's
// difflib.get_close_matches(word, terms, n=1, cutoff): the same
// Ratcliff/Obershelp matcher (longest-match choice, autojunk of popular
// characters in words of 200+ characters), the same three filters and the
// same tie rule (equal ratios go to the term that sorts last).
//
// Speed comes from never measuring most terms: the vocabulary is bucketed
// by length (the length-only filter rejects whole buckets) and each term
// carries a character-set mask that bounds how many of its characters the
// word can match, so the exact matcher runs only on real contenders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wrapper_native {

// 2.0 * matches / length, or 1.0 when length is 0 (difflib's rounding).
inline double difflib_ratio(size_t matches, size_t length) {
    return length ? 2.0 * static_cast<double>(matches) / static_cast<double>(length) : 1.0;
}

// The sequence matcher with `word` as its second sequence, compared with
// any number of first sequences (difflib: set_seq2(word), set_seq1(x)).
class WordMatcher {
public:
    explicit WordMatcher(std::u32string_view word);

    size_t size() const { return b_.size(); }
    // real_quick_ratio(): lengths only.
    double real_quick_ratio(std::u32string_view a) const;
    // quick_ratio(): characters in common as multisets.
    double quick_ratio(std::u32string_view a) const;
    size_t common_chars(std::u32string_view a) const;
    // ratio(): the characters of the matching blocks.
    double ratio(std::u32string_view a) const;
    size_t matching_chars(std::u32string_view a) const;
    // Bit (c & 63) set for every character of the word.
    uint64_t char_mask() const { return mask_; }

private:
    struct Match {
        size_t i, j, size;
    };
    // Index into distinct_ of character c, or -1.
    int distinct_index(char32_t c) const;
    Match longest_match(std::u32string_view a, const std::vector<int> &a_slots, size_t alo,
                        size_t ahi, size_t blo, size_t bhi) const;

    std::u32string b_;
    std::vector<char32_t> distinct_;             // sorted distinct characters of b
    std::vector<std::vector<size_t>> b2j_;       // per distinct char: positions (empty if popular)
    std::vector<uint32_t> full_count_;           // per distinct char: occurrences in b
    uint64_t mask_ = 0;
    // Scratch rows of the longest-match search (difflib's j2len dicts),
    // told apart by generation so they never need clearing.
    mutable std::vector<size_t> len_[2];
    mutable std::vector<uint64_t> gen_[2];
    mutable uint64_t generation_ = 0;
    mutable std::vector<uint32_t> avail_;
    struct Range {
        size_t alo, ahi, blo, bhi;
    };
    mutable std::vector<int> a_slots_;
    mutable std::vector<Range> queue_;
};

// Bit mask of the characters of a term (bit c & 63).
uint64_t char_mask(std::u32string_view text);

// A vocabulary prepared for closest-match queries.
class CloseMatchIndex {
public:
    CloseMatchIndex() = default;
    explicit CloseMatchIndex(const std::vector<std::u32string> &terms);

    size_t size() const { return count_; }
    // Position (in the constructor's order) of the term that
    // get_close_matches(word, terms, n=1, cutoff) returns, if any.
    std::optional<size_t> best(std::u32string_view word, double cutoff) const;
    std::u32string_view term(size_t position) const;

private:
    struct Bucket {
        size_t length;
        size_t begin, end;  // range in order_
    };
    size_t count_ = 0;
    std::u32string arena_;
    std::vector<size_t> offset_;  // per position: start in arena_
    std::vector<size_t> length_;  // per position
    std::vector<size_t> order_;   // positions grouped by length
    std::vector<uint64_t> mask_;  // parallel to order_
    std::vector<Bucket> buckets_;
};

// A vocabulary that changes term by term, keyed by the caller's ids, with
// the lookup of CloseMatchIndex (the result does not depend on the order
// the terms came in: ties go to the greater term).
class CloseMatchSet {
public:
    void add(uint32_t id, std::u32string_view term);
    void remove(uint32_t id);
    size_t size() const { return count_; }
    std::optional<uint32_t> best(std::u32string_view word, double cutoff) const;

private:
    struct Entry {
        uint32_t id;
        uint64_t mask;
        std::u32string text;
    };
    struct Place {
        uint32_t length = 0, index = UINT32_MAX;
    };
    std::vector<std::vector<Entry>> by_length_;  // index: term length
    std::vector<Place> place_;                   // per id
    size_t count_ = 0;
};

}  // namespace wrapper_native
