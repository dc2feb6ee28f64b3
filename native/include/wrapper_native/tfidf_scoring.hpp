// Cosine scoring of one query against a TF-IDF matrix through the query's
// terms only, with the floating-point results of scikit-learn's
// cosine_similarity (rows normalised again, then the sparse product summed
// term by term in column order), and the ranked page of the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace wrapper_native {

// The matrix by column: for each column the rows that hold it (ascending,
// in stored order) with their l2-normalised values.
class PostingIndex {
public:
    PostingIndex() = default;
    // CSR input; each row is normalised the way sklearn's normalize does
    // (sum of squares in stored order), which for an already normalised
    // row may still move the last bit, so it is done here too.
    template <class Index>
    PostingIndex(size_t rows, size_t cols, const double *data, const Index *indices,
                 const Index *indptr);

    size_t rows() const { return rows_; }
    size_t cols() const { return cols_; }

    // scores[r] = sum over the query entries, in the given order, of
    // value * normalised matrix value (0 where the row has none of them).
    // `scores` must hold rows() values.
    void score(const std::vector<std::pair<uint32_t, double>> &query, double *scores) const;

private:
    struct Posting {
        uint32_t row;
        double value;
    };
    size_t rows_ = 0, cols_ = 0;
    std::vector<size_t> start_;       // cols + 1
    std::vector<Posting> postings_;   // nnz, by column
};

// The query's row as TfidfVectorizer.transform builds it from the columns
// of its known tokens (counts in column order, times idf, l2-normalised),
// normalised once more as cosine_similarity does.
std::vector<std::pair<uint32_t, double>> query_row(const std::vector<uint32_t> &token_columns,
                                                   const double *idf);

// The positions of the sorted order of `scores` (descending, equal scores
// by position: a stable sort on the negated score) from `start` to `stop`,
// keeping only the leading scores greater than zero: the listing ends at
// the first score that is zero or less.
std::vector<size_t> ranked_positive_slice(const double *scores, size_t n, size_t start,
                                          size_t stop);

extern template PostingIndex::PostingIndex(size_t, size_t, const double *, const int32_t *,
                                           const int32_t *);
extern template PostingIndex::PostingIndex(size_t, size_t, const double *, const int64_t *,
                                           const int64_t *);

}  // namespace wrapper_native
