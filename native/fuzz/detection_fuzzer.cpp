// Detection post-processing against the Python loop read step by step, on
// rows of any bit pattern: NaN, infinities, values far past 64-bit
// integers, rows too short to hold a class score, both precisions.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "fuzz_support.hpp"
#include "wrapper_native/detection.hpp"

using namespace wrapper_native;

namespace {

// int(value) as the interpreter does it: ValueError for NaN, OverflowError
// for an infinity; refused too where a 64-bit integer cannot hold it.
DetectionFault python_int(double value, int64_t &out) {
    if (value != value) return DetectionFault::NotANumber;
    if (value == INFINITY || value == -INFINITY) return DetectionFault::Infinite;
    double whole = 0;
    std::modf(value, &whole);
    const double limit = std::ldexp(1.0, 63);
    if (!(whole >= -limit && whole < limit)) return DetectionFault::OutOfRange;
    out = static_cast<int64_t>(whole);
    return DetectionFault::None;
}

template <class T>
DetectionFault reference_rows(const std::vector<T> &values, size_t cols, int64_t width,
                              int64_t height, std::vector<DetectionCandidate> &out) {
    const size_t rows = cols ? values.size() / cols : 0;
    for (size_t r = 0; r < rows; ++r) {
        const T *row = values.data() + r * cols;
        // scores = detection[5:]; class_id = np.argmax(scores)
        if (cols <= 5) return DetectionFault::EmptyScores;
        size_t class_id = 0;
        for (size_t k = 5; k < cols; ++k) {
            const T s = row[k];
            if (std::isnan(s)) {
                class_id = k - 5;
                break;
            }
            if (s > row[5 + class_id]) class_id = k - 5;
        }
        const T confidence = row[5 + class_id];
        if (!(confidence > T(0.5))) continue;
        // The Python int becomes the array's type, then the product rounds
        // to it.
        const T fw = static_cast<T>(static_cast<double>(width));
        const T fh = static_cast<T>(static_cast<double>(height));
        // int() of the four products, in the loop's order: the first
        // failure is the one reported.
        const T products[4] = {T(row[0] * fw), T(row[1] * fh), T(row[2] * fw), T(row[3] * fh)};
        int64_t box[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4; ++k) {
            const DetectionFault f = python_int(static_cast<double>(products[k]), box[k]);
            if (f != DetectionFault::None) return f;
        }
        const int64_t cx = box[0], cy = box[1], w = box[2], h = box[3];
        // int - int / 2: true division rounds once, then the int is widened.
        const double half_w = static_cast<double>(static_cast<long double>(w) / 2);
        const double half_h = static_cast<double>(static_cast<long double>(h) / 2);
        int64_t x = 0, y = 0;
        DetectionFault f = python_int(static_cast<double>(cx) - half_w, x);
        if (f == DetectionFault::None) f = python_int(static_cast<double>(cy) - half_h, y);
        if (f != DetectionFault::None) return f;
        out.push_back({x, y, w, h, static_cast<double>(confidence), class_id});
    }
    return DetectionFault::None;
}

template <class T>
T take_value(FuzzedDataProvider &in, bool score) {
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return std::bit_cast<T>(in.ConsumeIntegral<Bits>());
        case 1:
            return in.PickValueInArray<T>(
                {T(0), T(-0.0), T(0.5), std::nextafter(T(0.5), T(1)), std::nextafter(T(0.5), T(0)),
                 T(1), T(-0.3), T(1.3), T(NAN), T(INFINITY), T(-INFINITY), T(1e20), T(-1e20),
                 std::numeric_limits<T>::max(), std::numeric_limits<T>::denorm_min()});
        default:
            return score ? in.ConsumeFloatingPointInRange<T>(T(0.3), T(1))
                         : in.ConsumeFloatingPointInRange<T>(T(-0.5), T(1.5));
    }
}

struct Layer {
    bool wide = false;
    size_t cols = 0;
    std::vector<float> narrow_values;
    std::vector<double> wide_values;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int64_t width =
        in.ConsumeBool()
            ? in.PickValueInArray<int64_t>({0, 1, 416, 641, 4000, 16777217, int64_t{1} << 31})
            : in.ConsumeIntegralInRange<int64_t>(0, 1 << 16);
    const int64_t height = in.ConsumeIntegralInRange<int64_t>(0, int64_t{1} << 31);
    std::vector<Layer> layers(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (Layer &layer : layers) {
        layer.wide = in.ConsumeBool();
        layer.cols = in.ConsumeIntegralInRange<size_t>(0, 12);
        const size_t rows = in.ConsumeIntegralInRange<size_t>(0, 16);
        for (size_t k = 0; k < rows * layer.cols; ++k) {
            const bool score = k % layer.cols >= 5;
            if (layer.wide)
                layer.wide_values.push_back(take_value<double>(in, score));
            else
                layer.narrow_values.push_back(take_value<float>(in, score));
        }
    }

    std::vector<DetectionMatrix> views;
    std::vector<DetectionCandidate> expected;
    DetectionFault expected_fault = DetectionFault::None;
    for (const Layer &layer : layers) {
        const size_t n = layer.wide ? layer.wide_values.size() : layer.narrow_values.size();
        DetectionMatrix m;
        m.element =
            layer.wide ? DetectionMatrix::Element::Float64 : DetectionMatrix::Element::Float32;
        m.data = layer.wide ? static_cast<const void *>(layer.wide_values.data())
                            : static_cast<const void *>(layer.narrow_values.data());
        m.cols = layer.cols;
        m.rows = layer.cols ? n / layer.cols : in.ConsumeIntegralInRange<size_t>(0, 3);
        views.push_back(m);
        if (expected_fault != DetectionFault::None) continue;
        if (layer.cols == 0) {
            // No column at all: every row fails at the empty score slice.
            if (m.rows > 0) expected_fault = DetectionFault::EmptyScores;
            continue;
        }
        expected_fault =
            layer.wide ? reference_rows(layer.wide_values, layer.cols, width, height, expected)
                       : reference_rows(layer.narrow_values, layer.cols, width, height, expected);
    }

    const DetectionScan scan = collect_candidates(views, width, height);
    FUZZ_CHECK(scan.fault == expected_fault, "fault differs");
    FUZZ_CHECK(scan.candidates.size() == expected.size(), "candidate count differs");
    for (size_t k = 0; k < expected.size(); ++k) {
        FUZZ_CHECK(scan.candidates[k] == expected[k],
                   "candidate " + std::to_string(k) + " differs");
        FUZZ_CHECK(scan.candidates[k].confidence > 0.5, "a candidate at or below the threshold");
    }
    return 0;
}
