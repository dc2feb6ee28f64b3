// TF-IDF scoring and ranking against the plain computations: the posting
// index against the row-by-row product (and malformed matrices refused),
// the query row against counting and normalising by hand, the positive
// page and the descending page against full sorts.
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "ranking_reference.hpp"
#include "tfidf_reference.hpp"
#include "wrapper_native/score_page.hpp"
#include "wrapper_native/tfidf_model.hpp"
#include "wrapper_native/tfidf_scoring.hpp"

using namespace wrapper_native;

namespace {

double take_weight(FuzzedDataProvider &in) {
    return in.ConsumeBool() ? in.PickValueInArray({0.0, 1.0, 0.5, 1e-300, 1e300, 2.0})
                            : in.ConsumeFloatingPointInRange(0.0, 10.0);
}

// l2 normalisation written out: sum of squares in order, root, division.
void normalise(std::vector<double> &values) {
    double sum = 0;
    for (double v : values) sum += v * v;
    if (sum == 0) return;
    const double norm = std::sqrt(sum);
    for (double &v : values) v /= norm;
}

void check_scores(FuzzedDataProvider &in) {
    reference::Csr m{in.ConsumeIntegralInRange<size_t>(0, 20),
                     in.ConsumeIntegralInRange<size_t>(0, 12),
                     {},
                     {},
                     {0}};
    for (size_t r = 0; r < m.rows; ++r) {
        for (size_t k = in.ConsumeIntegralInRange<size_t>(0, 6); k > 0; --k) {
            int32_t c =
                m.cols ? in.ConsumeIntegralInRange<int32_t>(0, static_cast<int32_t>(m.cols) - 1)
                       : 0;
            if (m.cols == 0 || in.ConsumeIntegralInRange(0, 40) == 0)
                c = in.PickValueInArray({-1, static_cast<int32_t>(m.cols), INT32_MAX, INT32_MIN});
            m.indices.push_back(c);
            m.data.push_back(take_weight(in));
        }
        m.indptr.push_back(static_cast<int32_t>(m.data.size()));
    }
    // Sometimes one row boundary moves back (the arrays stay long enough to
    // read whatever the boundaries say).
    if (m.rows > 0 && in.ConsumeIntegralInRange(0, 20) == 0) {
        const size_t r = in.ConsumeIntegralInRange<size_t>(1, m.rows);
        if (m.indptr[r] > 0) --m.indptr[r];
    }
    // Malformed: boundaries that go back, or a stored column outside the
    // matrix among the entries the boundaries cover.
    bool malformed = false;
    for (size_t r = 0; r < m.rows; ++r) malformed = malformed || m.indptr[r + 1] < m.indptr[r];
    if (!malformed)
        for (int32_t k = 0; k < m.indptr[m.rows]; ++k)
            malformed = malformed || m.indices[static_cast<size_t>(k)] < 0 ||
                        static_cast<size_t>(m.indices[static_cast<size_t>(k)]) >= m.cols;
    std::vector<int64_t> wide_indices(m.indices.begin(), m.indices.end());
    std::vector<int64_t> wide_indptr(m.indptr.begin(), m.indptr.end());

    bool refused = false;
    PostingIndex index;
    try {
        index = PostingIndex(m.rows, m.cols, m.data.data(), m.indices.data(), m.indptr.data());
    } catch (const std::invalid_argument &) {
        refused = true;
    }
    FUZZ_CHECK(refused == malformed, malformed ? "malformed matrix accepted" : "matrix refused");
    bool wide_refused = false;
    try {
        PostingIndex wide(m.rows, m.cols, m.data.data(), wide_indices.data(), wide_indptr.data());
    } catch (const std::invalid_argument &) {
        wide_refused = true;
    }
    FUZZ_CHECK(wide_refused == malformed, "64-bit indices judged otherwise");
    if (malformed) return;

    std::vector<uint32_t> tokens;
    std::vector<double> idf(m.cols);
    for (double &v : idf) v = 1.0 + in.ConsumeFloatingPointInRange(0.0, 8.0);
    if (m.cols > 0)
        for (size_t k = in.ConsumeIntegralInRange<size_t>(0, 10); k > 0; --k)
            tokens.push_back(
                in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(m.cols) - 1));
    const auto query = query_row(tokens, idf.data());

    // The query row by hand: counts per column in column order, times idf,
    // normalised twice.
    std::map<uint32_t, double> counts;
    for (uint32_t t : tokens) counts[t] += 1;
    std::vector<double> values;
    for (const auto &[c, n] : counts) values.push_back(n * idf[c]);
    normalise(values);
    normalise(values);
    FUZZ_CHECK(query.size() == counts.size(), "query row size");
    size_t k = 0;
    for (const auto &[c, n] : counts) {
        FUZZ_CHECK(query[k].first == c && query[k].second == values[k], "query row entry");
        ++k;
    }

    std::vector<double> scores(m.rows, -1.0);
    index.score(query, scores.data());
    FUZZ_CHECK(scores == reference::reference_scores(m, query), "scores");
    bool out_of_range = false;
    try {
        index.score({{static_cast<uint32_t>(m.cols), 1.0}}, scores.data());
    } catch (const std::out_of_range &) {
        out_of_range = true;
    }
    FUZZ_CHECK(out_of_range, "query column past the matrix accepted");
}

void check_positive_page(FuzzedDataProvider &in) {
    std::vector<double> scores(in.ConsumeIntegralInRange<size_t>(0, 64));
    for (double &s : scores)
        s = in.ConsumeBool() ? in.PickValueInArray({0.0, -0.0, 0.25, 0.5, 1.0, -0.5, 1e-300})
                             : in.ConsumeFloatingPointInRange(-1.0, 1.0);
    const size_t start = in.ConsumeIntegralInRange<size_t>(0, scores.size() + 3);
    const size_t stop = in.ConsumeBool() ? start + in.ConsumeIntegralInRange<size_t>(0, 12)
                                         : in.ConsumeIntegral<size_t>();
    FUZZ_CHECK(ranked_positive_slice(scores.data(), scores.size(), start, stop) ==
                   reference::reference_page(scores, start, stop),
               "positive page");
}

template <class Score>
void check_descending_page(FuzzedDataProvider &in) {
    std::vector<Score> s(in.ConsumeIntegralInRange<size_t>(0, 300));
    const bool few_values = in.ConsumeBool();
    for (Score &x : s) {
        if (few_values) {
            x = in.PickValueInArray<Score>({Score(0), Score(-0.0), Score(0.5), Score(-1),
                                            std::numeric_limits<Score>::quiet_NaN(),
                                            std::numeric_limits<Score>::infinity(),
                                            -std::numeric_limits<Score>::infinity()});
        } else {
            x = in.ConsumeFloatingPoint<Score>();
        }
    }
    size_t begin = in.ConsumeIntegralInRange<size_t>(0, s.size() + 3);
    size_t end = in.ConsumeIntegralInRange<size_t>(0, s.size() + 3);
    if (in.ConsumeBool()) end = std::max(begin, std::min<size_t>(begin + 10, s.size()));
    // The caller clips the range to the scores.
    begin = std::min(begin, s.size());
    end = std::min(end, s.size());
    const auto got = descending_page(s.data(), s.size(), begin, end);
    const auto want = reference::full_sort_reference(s, begin, end);
    FUZZ_CHECK(got.size() == want.size(), "page size");
    std::set<size_t> seen;
    for (size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i] < s.size(), "position out of range");
        const Score a = s[got[i]], b = s[want[i]];
        FUZZ_CHECK((std::isnan(a) && std::isnan(b)) || a == b,
                   "rank " + std::to_string(begin + i) + " holds another score");
        FUZZ_CHECK(seen.insert(got[i]).second, "a position twice");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            check_scores(in);
            break;
        case 1:
            check_positive_page(in);
            break;
        case 2:
            check_descending_page<float>(in);
            break;
        default:
            check_descending_page<double>(in);
            break;
    }
    return 0;
}
