// TF-IDF the long way: the whole fit from scratch as fit_transform does it,
// and cosine scores row by row. Shared by the kernel tests and the fuzzers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "char_filter_reference.hpp"
#include "wrapper_native/tfidf_model.hpp"

namespace reference {

// Vocabulary in order of first sight, columns by sorted text, rows ordered
// by first sight, counts times idf, l2 rows. Idf is ln((1+n)/(1+df)) + 1
// with std::log; the same values are handed to the incremental model.
struct ReferenceFit {
    std::vector<std::u32string> columns;
    std::vector<double> idf;
    std::vector<double> data;
    std::vector<int32_t> indices, indptr;
    std::vector<std::u32string> first_seen;
};

inline ReferenceFit reference_fit(const std::vector<std::u32string> &texts,
                                  const wrapper_native::CharClasses &cc) {
    ReferenceFit fit;
    std::map<std::u32string, size_t> first;  // term -> order of first sight
    std::vector<std::vector<std::pair<std::u32string, int>>> rows;
    for (const auto &text : texts) {
        std::vector<std::pair<std::u32string, int>> row;
        for (const auto &tok : word_tokens(text, cc)) {
            if (!first.count(tok)) {
                first[tok] = first.size();
                fit.first_seen.push_back(tok);
            }
            auto it = std::find_if(row.begin(), row.end(), [&](auto &p) { return p.first == tok; });
            if (it == row.end())
                row.push_back({tok, 1});
            else
                ++it->second;
        }
        std::sort(row.begin(), row.end(),
                  [&](auto &x, auto &y) { return first[x.first] < first[y.first]; });
        rows.push_back(row);
    }
    for (auto &[term, order] : first) fit.columns.push_back(term);  // std::map: sorted
    auto column = [&](const std::u32string &t) {
        return static_cast<int32_t>(std::lower_bound(fit.columns.begin(), fit.columns.end(), t) -
                                    fit.columns.begin());
    };
    std::vector<double> df(fit.columns.size(), 0.0);
    for (auto &row : rows)
        for (auto &[t, c] : row) df[column(t)] += 1.0;
    const double n = static_cast<double>(texts.size());
    for (double d : df) fit.idf.push_back(std::log((n + 1.0) / (d + 1.0)) + 1.0);
    fit.indptr.push_back(0);
    for (auto &row : rows) {
        double sum = 0.0;
        const size_t begin = fit.data.size();
        for (auto &[t, c] : row) {
            fit.indices.push_back(column(t));
            fit.data.push_back(c * fit.idf[column(t)]);
            sum += fit.data.back() * fit.data.back();
        }
        if (sum != 0.0)
            for (size_t k = begin; k < fit.data.size(); ++k) fit.data[k] /= std::sqrt(sum);
        fit.indptr.push_back(static_cast<int32_t>(fit.data.size()));
    }
    return fit;
}

struct Csr {
    size_t rows, cols;
    std::vector<double> data;
    std::vector<int32_t> indices, indptr;
};

// The product the plain way: every row normalised again, then for each
// query entry in order, the row's value for that column if it has one.
inline std::vector<double> reference_scores(const Csr &m,
                                            const std::vector<std::pair<uint32_t, double>> &query) {
    std::vector<double> scores(m.rows, 0.0);
    for (size_t r = 0; r < m.rows; ++r) {
        std::vector<double> row(m.data.begin() + m.indptr[r], m.data.begin() + m.indptr[r + 1]);
        wrapper_native::normalize_l2(row.data(), row.size());
        for (auto &[col, q] : query)
            for (int32_t k = m.indptr[r]; k < m.indptr[r + 1]; ++k)
                if (static_cast<uint32_t>(m.indices[k]) == col)
                    scores[r] += q * row[k - m.indptr[r]];
    }
    return scores;
}

}  // namespace reference
