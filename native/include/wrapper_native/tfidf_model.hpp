// TF-IDF counting and weighting with the results of scikit-learn's
// TfidfVectorizer at its defaults (tokens of two or more word characters,
// smooth idf, l2-normalised rows), kept incrementally: the counts of every
// document and the document frequencies persist between fits, so adding or
// replacing one document costs work on that document plus one linear pass
// to re-weight, instead of re-reading the whole collection.
//
// Lower-casing is the caller's (it needs the interpreter's full Unicode
// case mapping); the idf values are the caller's too (they must come from
// the same log routine the reference uses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wrapper_native/char_filter.hpp"

namespace wrapper_native {

// Calls f(token) for every match of the pattern (?u)\b\w\w+\b in text,
// i.e. every maximal run of two or more word characters, in order.
template <class F>
void for_each_token(std::u32string_view text, const CharClasses &cc, F &&f) {
    // Every character class agrees with the interpreter's on ASCII, where
    // \w is [A-Za-z0-9_]; only other characters ask `cc`.
    auto is_word = [&cc](char32_t c) {
        if (c < 128)
            return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') ||
                   (c >= U'0' && c <= U'9') || c == U'_';
        return cc.is_word(c);
    };
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        if (!is_word(text[i])) {
            ++i;
            continue;
        }
        size_t e = i + 1;
        while (e < n && is_word(text[e])) ++e;
        if (e - i >= 2) f(text.substr(i, e - i));
        i = e;
    }
}

// Terms and their stable numeric ids (an open-addressing table over one
// character arena: no allocation per term).
class TermTable {
public:
    uint32_t intern(std::u32string_view term);
    // The id of a known term, or kMissing.
    uint32_t find(std::u32string_view term) const;
    // Valid until the next intern().
    std::u32string_view text(uint32_t id) const {
        return std::u32string_view(arena_).substr(offset_[id], length_[id]);
    }
    size_t size() const { return offset_.size(); }

    static constexpr uint32_t kMissing = UINT32_MAX;

private:
    static uint64_t hash(std::u32string_view term);
    size_t probe(std::u32string_view term, uint64_t h) const;
    void grow();

    std::u32string arena_;
    std::vector<size_t> offset_;
    std::vector<uint32_t> length_;
    std::vector<uint64_t> hash_;
    std::vector<uint64_t> slots_;  // see probe()
};

struct TermCount {
    uint32_t term;
    uint32_t count;
};

// Term counts of one lower-cased text, in order of first appearance.
std::vector<TermCount> count_terms(std::u32string_view text, const CharClasses &cc,
                                   TermTable &terms);

// How the entries of a row are ordered in the CSR matrix: as
// TfidfVectorizer.fit_transform leaves them (by the order in which the
// terms were first met in the collection) or as transform leaves them (by
// column).
enum class RowOrder { FirstSeen, Column };

class IncrementalTfidf {
public:
    using DocId = uint32_t;

    TermTable &terms() { return terms_; }
    const TermTable &terms() const { return terms_; }

    DocId add(std::vector<TermCount> counts);
    void remove(DocId doc);
    const std::vector<TermCount> &counts(DocId doc) const { return docs_[doc].first_seen; }

    // Sets the rows of the matrix, the live documents in the given order
    // (each once), and derives their vocabulary.
    void set_rows(std::vector<DocId> rows);

    // Vocabulary of the rows: term ids by column (ascending text order).
    const std::vector<uint32_t> &columns() const { return columns_; }
    // Column of a term id (kMissing when the term is not in the rows).
    uint32_t column_of(uint32_t term) const {
        return term < column_of_.size() ? column_of_[term] : TermTable::kMissing;
    }
    // Term ids in order of first appearance over the rows.
    const std::vector<uint32_t> &first_seen_terms() const { return first_seen_; }
    // Document frequency per column.
    std::vector<double> document_frequencies() const;
    size_t row_count() const { return rows_.size(); }
    size_t nnz() const { return nnz_; }

    // Writes the l2-normalised tf-idf matrix of the rows in CSR form.
    // `idf` is indexed by column; indptr has row_count() + 1 entries.
    template <class Index>
    void fill(RowOrder order, const double *idf, double *data, Index *indices,
              Index *indptr);

private:
    struct Doc {
        std::vector<TermCount> first_seen;  // order of first appearance
        std::vector<TermCount> by_rank;     // order of the collection's first sight
        bool live = false;
    };
    void refresh_columns();
    void order_rows_by_rank();

    TermTable terms_;
    std::vector<Doc> docs_;
    std::vector<DocId> free_;
    std::vector<uint32_t> df_;           // per term id, over live documents
    std::vector<uint32_t> pending_;      // terms whose df left 0 since the last refresh
    std::vector<uint32_t> columns_;      // live terms of the rows, by text
    std::vector<uint32_t> column_of_;    // per term id
    std::vector<uint8_t> in_columns_;    // per term id
    std::vector<uint32_t> rank_;         // per term id: order of first sight over the rows
    std::vector<uint32_t> first_seen_;
    std::vector<DocId> rows_;
    size_t nnz_ = 0;
};

// scikit-learn's l2 row normalisation (sum of squares in stored order,
// square root, division; an all-zero row stays as it is).
void normalize_l2(double *values, size_t n);

extern template void IncrementalTfidf::fill<int32_t>(RowOrder, const double *, double *,
                                                     int32_t *, int32_t *);
extern template void IncrementalTfidf::fill<int64_t>(RowOrder, const double *, double *,
                                                     int64_t *, int64_t *);

}  // namespace wrapper_native
