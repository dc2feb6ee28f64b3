#include "wrapper_native/tfidf_scoring.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "wrapper_native/tfidf_model.hpp"

namespace wrapper_native {

template <class Index>
PostingIndex::PostingIndex(size_t rows, size_t cols, const double *data, const Index *indices,
                           const Index *indptr)
    : rows_(rows), cols_(cols) {
    if (indptr[0] != 0) throw std::invalid_argument("indptr must start at 0");
    for (size_t r = 0; r < rows; ++r)
        if (indptr[r + 1] < indptr[r]) throw std::invalid_argument("indptr must not decrease");
    const size_t nnz = static_cast<size_t>(indptr[rows]);
    start_.assign(cols + 1, 0);
    for (size_t k = 0; k < nnz; ++k) {
        if (indices[k] < 0 || static_cast<size_t>(indices[k]) >= cols)
            throw std::invalid_argument("column index out of range");
        ++start_[static_cast<size_t>(indices[k]) + 1];
    }
    for (size_t c = 0; c < cols; ++c) start_[c + 1] += start_[c];
    postings_.resize(nnz);
    std::vector<size_t> next(start_.begin(), start_.end() - 1);
    for (size_t r = 0; r < rows; ++r) {
        const auto b = static_cast<size_t>(indptr[r]), e = static_cast<size_t>(indptr[r + 1]);
        // normalize_l2 of the row, without copying it.
        double sum = 0.0;
        for (size_t k = b; k < e; ++k) sum += data[k] * data[k];
        const double norm = std::sqrt(sum);
        for (size_t k = b; k < e; ++k)
            postings_[next[static_cast<size_t>(indices[k])]++] = {
                static_cast<uint32_t>(r), sum == 0.0 ? data[k] : data[k] / norm};
    }
}

template PostingIndex::PostingIndex(size_t, size_t, const double *, const int32_t *,
                                    const int32_t *);
template PostingIndex::PostingIndex(size_t, size_t, const double *, const int64_t *,
                                    const int64_t *);

void PostingIndex::score(const std::vector<std::pair<uint32_t, double>> &query,
                         double *scores) const {
    std::fill(scores, scores + rows_, 0.0);
    for (const auto &[col, q] : query) {
        if (col >= cols_) throw std::out_of_range("query column out of range");
        for (size_t p = start_[col]; p < start_[col + 1]; ++p)
            scores[postings_[p].row] += q * postings_[p].value;
    }
}

std::vector<std::pair<uint32_t, double>> query_row(const std::vector<uint32_t> &token_columns,
                                                   const double *idf) {
    std::vector<uint32_t> sorted = token_columns;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::pair<uint32_t, double>> row;
    for (size_t k = 0; k < sorted.size();) {
        size_t e = k;
        while (e < sorted.size() && sorted[e] == sorted[k]) ++e;
        row.emplace_back(sorted[k], static_cast<double>(e - k));
        k = e;
    }
    std::vector<double> values(row.size());
    for (size_t k = 0; k < row.size(); ++k) values[k] = row[k].second * idf[row[k].first];
    normalize_l2(values.data(), values.size());
    normalize_l2(values.data(), values.size());
    for (size_t k = 0; k < row.size(); ++k) row[k].second = values[k];
    return row;
}

std::vector<size_t> ranked_positive_slice(const double *scores, size_t n, size_t start,
                                          size_t stop) {
    // The full ranking lists every positive score before the others, so
    // the rows of any page come from the positive part alone.
    std::vector<size_t> positive;
    for (size_t i = 0; i < n; ++i)
        if (scores[i] > 0) positive.push_back(i);
    stop = std::min(stop, positive.size());
    if (start >= stop) return {};
    auto before = [scores](size_t x, size_t y) {
        return scores[x] > scores[y] || (scores[x] == scores[y] && x < y);
    };
    std::partial_sort(positive.begin(), positive.begin() + static_cast<std::ptrdiff_t>(stop),
                      positive.end(), before);
    return std::vector<size_t>(positive.begin() + static_cast<std::ptrdiff_t>(start),
                               positive.begin() + static_cast<std::ptrdiff_t>(stop));
}

}  // namespace wrapper_native
