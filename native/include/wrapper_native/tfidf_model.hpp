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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wrapper_native/char_filter.hpp"
#include "wrapper_native/close_match.hpp"

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

// The number of tokens for_each_token finds in an ASCII text (bytes below
// 128; lower-casing changes no character class there), in one pass.
size_t count_ascii_tokens(const unsigned char *text, size_t n);

// Terms and their stable numeric ids (an open-addressing table over one
// character arena: no allocation per term).
class TermTable {
public:
    // A released id is handed out again by a later intern().
    uint32_t intern(std::u32string_view term);
    // Forgets a term; its id and its characters are reused.
    void release(uint32_t id);
    // The id of a known term, or kMissing.
    uint32_t find(std::u32string_view term) const;
    // Valid until the next intern().
    std::u32string_view text(uint32_t id) const {
        return std::u32string_view(arena_).substr(offset_[id], length_[id]);
    }
    // One past the largest id in use (released ids included).
    size_t size() const { return offset_.size(); }
    size_t live() const { return offset_.size() - free_.size(); }
    bool is_live(uint32_t id) const { return id < dead_.size() && !dead_[id]; }

    static constexpr uint32_t kMissing = UINT32_MAX;

private:
    static uint64_t hash(std::u32string_view term);
    size_t probe(std::u32string_view term, uint64_t h) const;
    void grow();
    void compact();

    std::vector<uint32_t> free_;
    std::vector<uint8_t> dead_;  // per id
    size_t dead_chars_ = 0;
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

// Terms scored by cosine against the rows, straight from the counts: per
// term the documents holding it, and per row the two norms the stored row
// and the similarity divide by.
class IncrementalTfidf {
public:
    using DocId = uint32_t;

    TermTable &terms() { return terms_; }
    const TermTable &terms() const { return terms_; }

    DocId add(std::vector<TermCount> counts);
    void remove(DocId doc);
    const std::vector<TermCount> &counts(DocId doc) const { return docs_[doc].entries(); }

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

    // Term ids released since the last call (no live document holds them;
    // the ids may be handed out again by the next count).
    std::vector<uint32_t> take_released() { return std::exchange(released_, {}); }
    // Terms that left every row since the last call (released or not: a
    // term that comes back is first seen anew, at the end of the order).
    std::vector<uint32_t> take_vanished() { return std::exchange(vanished_, {}); }
    // Takes over a collection fitted elsewhere, without its texts, into an
    // empty model: `terms` in the collection's order of first sight,
    // `columns` the column of each, `rows` the counts of each row in that
    // order with terms numbered by their position in `terms`. Returns the
    // documents in row order. Throws std::invalid_argument when the rows
    // are not ordered as a fit orders them. The rows' own order of first
    // appearance is not known then; see needs_true_order().
    std::vector<DocId> adopt(const std::vector<std::u32string_view> &terms,
                             const std::vector<uint32_t> &columns,
                             std::vector<std::vector<TermCount>> rows);
    // True when the next set_rows must renumber the order of first sight
    // and some document's own order is not known (an adopted one): its
    // counts must be given again through recount() first.
    bool needs_true_order() const { return reorder_ && unknown_order_ > 0; }

    // Whether the last set_rows renumbered the order of first sight (the
    // vocabulary's order changed) rather than only extending it.
    bool reordered() const { return reordered_; }

    // After fill(): scores[r] = sum over (column, q) of the query, in order,
    // of q * the row's value normalised once more (cosine_similarity's
    // l2 normalisation of the stored row). `scores` holds row_count() values.
    // Safe to call from several threads at once while nothing changes the
    // model.
    void score(const std::vector<std::pair<uint32_t, double>> &query, double *scores) const;
    // After fill(): idf by column, as given to it.
    const std::vector<double> &idf() const { return idf_; }
    // Live terms for closest-match queries, keyed by term id.
    // Safe from several threads at once, as score().
    const CloseMatchSet &matcher() const {
        build_query_side();
        return matcher_;
    }

private:
    struct Doc {
        std::vector<TermCount> first_seen;  // order of first appearance (if known)
        std::vector<TermCount> by_rank;     // order of the collection's first sight
        uint32_t rank_begin = 0, rank_end = 0;  // ranks first given in this row
        bool live = false, ranked = false, order_known = true;
        // The counts in the document's own order, or in the stored order
        // where its own is not known.
        const std::vector<TermCount> &entries() const { return order_known ? first_seen : by_rank; }
    };
    struct Posting {
        DocId doc;
        uint32_t count;
    };
    // Whether the query side (postings_ and matcher_) follows the
    // documents. A model taken over from a file leaves it to the first
    // query: training never reads it, and building it is most of the cost
    // of taking a large collection over. (Movable, unlike its members: a
    // model is moved only by its owner.)
    struct QueryGate {
        std::atomic<bool> ready{true};
        std::mutex building;
        QueryGate() = default;
        QueryGate(QueryGate &&other) noexcept : ready(other.ready.load()) {}
        QueryGate &operator=(QueryGate &&other) noexcept {
            ready = other.ready.load();
            return *this;
        }
    };
    // What the weighting pass looks up per entry, by term id: kept small
    // (the lookups are random over the whole vocabulary), the idf itself
    // coming from a table by document frequency, which is far shorter.
    struct Weight {
        uint32_t column;
        uint32_t slot;  // into idf_by_slot_
    };
    DocId insert(std::vector<TermCount> counts, bool order_known);
    void refresh_columns();
    void order_rows_by_rank();
    bool extend_rows_by_rank(const std::vector<DocId> &old_rows);
    void release_term(uint32_t term);
    bool query_side_ready() const { return query_gate_.ready.load(std::memory_order_acquire); }
    void build_query_side() const;

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
    uint32_t next_rank_ = 0;
    bool reorder_ = true;     // a removal took first sights other rows still hold
    bool reordered_ = true;
    bool ranks_lost_ = false;  // some term left every row since set_rows
    size_t unknown_order_ = 0;  // live documents whose own order is not known
    std::vector<uint32_t> released_, vanished_;
    // Per term id, over live documents; see QueryGate.
    mutable std::vector<std::vector<Posting>> postings_;
    std::vector<uint32_t> row_of_;                // per document
    std::vector<double> norm1_, norm2_;           // per row; 0: no division
    std::vector<double> idf_;                     // by column
    std::vector<Weight> weight_;                  // per term id, for fill
    std::vector<double> idf_by_slot_;             // by document frequency (or by column)
    mutable CloseMatchSet matcher_;  // the terms of the columns; see QueryGate
    mutable QueryGate query_gate_;
};

// The counts behind one stored row of a fitted matrix (values x, columns
// j, n entries), given the idf by column and the number of tokens of the
// row's text: the values over the idf are proportional to the counts; the
// smallest whole numbers in that proportion, scaled to the token count,
// must give the stored values back bit for bit, or false is returned.
// `out` gets (term_of_column[j], count) per entry, in stored order.
template <class Index>
bool recover_row_counts(const double *x, const Index *j, size_t n, const double *idf,
                        const std::vector<uint32_t> &term_of_column, size_t tokens,
                        std::vector<TermCount> &out);

// scikit-learn's l2 row normalisation (sum of squares in stored order,
// square root, division; an all-zero row stays as it is).
void normalize_l2(double *values, size_t n);

extern template bool recover_row_counts<int32_t>(const double *, const int32_t *, size_t,
                                                 const double *, const std::vector<uint32_t> &,
                                                 size_t, std::vector<TermCount> &);
extern template bool recover_row_counts<int64_t>(const double *, const int64_t *, size_t,
                                                 const double *, const std::vector<uint32_t> &,
                                                 size_t, std::vector<TermCount> &);
extern template void IncrementalTfidf::fill<int32_t>(RowOrder, const double *, double *,
                                                     int32_t *, int32_t *);
extern template void IncrementalTfidf::fill<int64_t>(RowOrder, const double *, double *,
                                                     int64_t *, int64_t *);

}  // namespace wrapper_native
