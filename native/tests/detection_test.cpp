#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "wrapper_native/detection.hpp"

using wrapper_native::collect_candidates;
using wrapper_native::DetectionCandidate;
using wrapper_native::DetectionFault;
using wrapper_native::DetectionMatrix;

namespace {

DetectionMatrix view(const std::vector<float> &values, size_t cols) {
    return {values.data(), DetectionMatrix::Element::Float32, values.size() / cols, cols};
}

DetectionMatrix view(const std::vector<double> &values, size_t cols) {
    return {values.data(), DetectionMatrix::Element::Float64, values.size() / cols, cols};
}

// The post-processing written out step by step for float32 rows, the way
// the Python loop reads: scores = row[5:], class_id = argmax, confidence,
// then the four int() conversions and the corner.
std::vector<DetectionCandidate> reference(const std::vector<std::vector<float>> &rows,
                                          int64_t width, int64_t height) {
    std::vector<DetectionCandidate> out;
    for (const auto &row : rows) {
        std::vector<float> scores(row.begin() + 5, row.end());
        size_t class_id = 0;
        bool nan_seen = false;
        for (size_t i = 0; i < scores.size() && !nan_seen; ++i) {
            if (scores[i] != scores[i]) {
                class_id = i;
                nan_seen = true;
            } else if (scores[i] > scores[class_id]) {
                class_id = i;
            }
        }
        float confidence = scores[class_id];
        if (!(confidence > 0.5f)) continue;
        float fw = static_cast<float>(width), fh = static_cast<float>(height);
        float px = row[0] * fw, py = row[1] * fh, pw = row[2] * fw, ph = row[3] * fh;
        long long cx = static_cast<long long>(px), cy = static_cast<long long>(py);
        long long w = static_cast<long long>(pw), h = static_cast<long long>(ph);
        double left = static_cast<double>(cx) - static_cast<double>(w) / 2.0;
        double top = static_cast<double>(cy) - static_cast<double>(h) / 2.0;
        DetectionCandidate c;
        c.x = static_cast<long long>(left);
        c.y = static_cast<long long>(top);
        c.w = w;
        c.h = h;
        c.confidence = confidence;
        c.class_id = class_id;
        out.push_back(c);
    }
    return out;
}

std::vector<float> flatten(const std::vector<std::vector<float>> &rows) {
    std::vector<float> flat;
    for (const auto &r : rows) flat.insert(flat.end(), r.begin(), r.end());
    return flat;
}

}  // namespace

TEST(Detection, ThresholdIsStrictAndOnlyClassScoresCount) {
    const float just_above = std::nextafter(0.5f, 1.0f);
    std::vector<float> rows = {
        0.5f, 0.5f, 0.2f, 0.2f, 0.99f, 0.5f,       0.1f,  // exactly 0.5: not a candidate
        0.5f, 0.5f, 0.2f, 0.2f, 0.01f, just_above, 0.1f,  // objectness is ignored
    };
    DetectionMatrix m = view(rows, 7);
    auto scan = collect_candidates({&m, 1}, 100, 100);
    ASSERT_EQ(scan.fault, DetectionFault::None);
    ASSERT_EQ(scan.candidates.size(), 1u);
    EXPECT_EQ(scan.candidates[0].confidence, static_cast<double>(just_above));
    EXPECT_EQ(scan.candidates[0].class_id, 0u);
}

TEST(Detection, BoxArithmeticTruncatesTowardZero) {
    // centre 1, width 9: 1 - 4.5 = -3.5 becomes -3, not -4.
    std::vector<float> rows = {0.015f, 0.5f, 0.09f, 0.3f, 0.0f, 0.1f, 0.9f};
    DetectionMatrix m = view(rows, 7);
    auto scan = collect_candidates({&m, 1}, 100, 10);
    ASSERT_EQ(scan.candidates.size(), 1u);
    const DetectionCandidate &c = scan.candidates[0];
    EXPECT_EQ(c.x, -3);
    EXPECT_EQ(c.w, 9);
    EXPECT_EQ(c.h, 3);
    EXPECT_EQ(c.y, 3);  // 5 - 1.5 = 3.5 becomes 3
    EXPECT_EQ(c.class_id, 1u);
}

TEST(Detection, ProductIsRoundedToSinglePrecisionBeforeTruncation) {
    // Find a float fraction whose float32 product with the width lands on an
    // integer while the exact product lies just below it.
    const int64_t width = 641;
    bool found = false;
    std::vector<float> near_integers;
    for (int k = 1; k < 641; ++k) {
        float f = static_cast<float>(k) / 641.0f;
        for (int step = 0; step < 4; ++step) f = std::nextafter(f, 0.0f);
        for (int step = 0; step < 8; ++step, f = std::nextafter(f, 1.0f)) near_integers.push_back(f);
    }
    for (float f : near_integers) {
        if (found) break;
        const double exact = static_cast<double>(f) * static_cast<double>(width);
        const float single = f * static_cast<float>(width);
        if (std::trunc(exact) == std::trunc(static_cast<double>(single))) continue;
        found = true;
        std::vector<float> row = {f, 0.5f, 0.0f, 0.0f, 0.0f, 0.9f};
        DetectionMatrix m = view(row, 6);
        auto scan = collect_candidates({&m, 1}, width, 10);
        ASSERT_EQ(scan.candidates.size(), 1u);
        EXPECT_EQ(scan.candidates[0].x, static_cast<int64_t>(single));
        // The same fraction in double precision keeps the exact product.
        std::vector<double> wide(row.begin(), row.end());
        DetectionMatrix md = view(wide, 6);
        auto scan_d = collect_candidates({&md, 1}, width, 10);
        ASSERT_EQ(scan_d.candidates.size(), 1u);
        EXPECT_EQ(scan_d.candidates[0].x, static_cast<int64_t>(exact));
    }
    EXPECT_TRUE(found);
}

TEST(Detection, CandidatesFollowLayerThenRowOrderAndFirstMaximumWins) {
    std::vector<float> first = {
        0.5f, 0.5f, 0.1f, 0.1f, 0, 0.6f, 0.6f,  // tie: class 0
        0.5f, 0.5f, 0.1f, 0.1f, 0, 0.2f, 0.3f,  // below threshold
    };
    std::vector<float> second = {
        0.2f, 0.2f, 0.1f, 0.1f, 0, 0.1f, 0.95f,
        0.8f, 0.8f, 0.1f, 0.1f, 0, std::numeric_limits<float>::quiet_NaN(), 0.99f,
    };
    DetectionMatrix ms[] = {view(first, 7), view(second, 7)};
    auto scan = collect_candidates(ms, 200, 100);
    ASSERT_EQ(scan.fault, DetectionFault::None);
    ASSERT_EQ(scan.candidates.size(), 2u);  // the NaN row is never confident
    EXPECT_EQ(scan.candidates[0].class_id, 0u);
    EXPECT_EQ(scan.candidates[0].confidence, static_cast<double>(0.6f));
    EXPECT_EQ(scan.candidates[1].class_id, 1u);
    EXPECT_EQ(scan.candidates[1].x, 30);  // int(0.2 * 200) - 20 / 2
}

TEST(Detection, FaultsNameTheFirstFailingConversion) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    {
        std::vector<float> no_class = {0.5f, 0.5f, 0.1f, 0.1f, 0.9f};
        DetectionMatrix m = view(no_class, 5);
        EXPECT_EQ(collect_candidates({&m, 1}, 10, 10).fault, DetectionFault::EmptyScores);
        DetectionMatrix empty{no_class.data(), DetectionMatrix::Element::Float32, 0, 5};
        EXPECT_EQ(collect_candidates({&empty, 1}, 10, 10).fault, DetectionFault::None);
    }
    {
        std::vector<float> rows = {inf, nan, 0.1f, 0.1f, 0, 0.9f};
        DetectionMatrix m = view(rows, 6);
        EXPECT_EQ(collect_candidates({&m, 1}, 10, 10).fault, DetectionFault::Infinite);
        rows[0] = 0.5f;
        EXPECT_EQ(collect_candidates({&m, 1}, 10, 10).fault, DetectionFault::NotANumber);
        rows[5] = 0.4f;  // not confident: its box is never computed
        EXPECT_EQ(collect_candidates({&m, 1}, 10, 10).fault, DetectionFault::None);
    }
    {
        std::vector<double> rows = {1e300, 0.5, 0.1, 0.1, 0, 0.9};
        DetectionMatrix m = view(rows, 6);
        EXPECT_EQ(collect_candidates({&m, 1}, 10, 10).fault, DetectionFault::OutOfRange);
    }
}

TEST(Detection, MatchesReferenceOnRandomRows) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> coord(-0.3f, 1.3f);
    std::uniform_real_distribution<float> score(0.0f, 1.0f);
    std::uniform_int_distribution<int> classes(1, 6), count(0, 40), dim(1, 4000);
    std::uniform_int_distribution<int> special(0, 9);
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t cols = 5 + static_cast<size_t>(classes(rng));
        std::vector<std::vector<std::vector<float>>> layers(1 + trial % 3);
        for (auto &layer : layers) {
            for (int r = count(rng); r > 0; --r) {
                std::vector<float> row(cols);
                for (size_t k = 0; k < 4; ++k) row[k] = coord(rng);
                for (size_t k = 4; k < cols; ++k) {
                    row[k] = score(rng);
                    if (special(rng) == 0) row[k] = 0.5f;  // the boundary itself
                }
                layer.push_back(row);
            }
        }
        const int64_t width = dim(rng), height = dim(rng);
        std::vector<std::vector<float>> flats;
        std::vector<DetectionMatrix> views;
        std::vector<DetectionCandidate> expected;
        for (const auto &layer : layers) {
            flats.push_back(flatten(layer));
            auto part = reference(layer, width, height);
            expected.insert(expected.end(), part.begin(), part.end());
        }
        for (size_t i = 0; i < layers.size(); ++i)
            views.push_back({flats[i].data(), DetectionMatrix::Element::Float32,
                             layers[i].size(), cols});
        auto scan = collect_candidates(views, width, height);
        ASSERT_EQ(scan.fault, DetectionFault::None);
        ASSERT_EQ(scan.candidates, expected) << "trial " << trial;
    }
}
