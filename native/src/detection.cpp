#include "wrapper_native/detection.hpp"

#include <cmath>

namespace wrapper_native {
namespace {

// int(value) for a finite or non-finite double, into 64 bits.
DetectionFault truncate(double value, int64_t &out) {
    if (std::isnan(value)) return DetectionFault::NotANumber;
    if (std::isinf(value)) return DetectionFault::Infinite;
    const double t = std::trunc(value);
    // 2^63 is exactly representable; anything at or past it does not fit.
    if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
        return DetectionFault::OutOfRange;
    out = static_cast<int64_t>(t);
    return DetectionFault::None;
}

// np.argmax: the first maximum, or the first NaN when there is one.
template <class T>
size_t argmax(const T *scores, size_t count) {
    size_t best = 0;
    for (size_t i = 0; i < count; ++i) {
        if (std::isnan(scores[i])) return i;
        if (scores[i] > scores[best]) best = i;
    }
    return best;
}

// fraction * dimension in the row's own precision, as NumPy computes it.
template <class T>
double scaled(T fraction, int64_t dimension) {
    return static_cast<double>(fraction * static_cast<T>(dimension));
}

template <class T>
DetectionFault scan_rows(const DetectionMatrix &m, int64_t width, int64_t height,
                         std::vector<DetectionCandidate> &out) {
    const T *data = static_cast<const T *>(m.data);
    for (size_t r = 0; r < m.rows; ++r) {
        const T *row = data + r * m.cols;
        if (m.cols <= kFirstClassColumn) return DetectionFault::EmptyScores;
        const T *scores = row + kFirstClassColumn;
        const size_t class_id = argmax(scores, m.cols - kFirstClassColumn);
        const T confidence = scores[class_id];
        if (!(confidence > static_cast<T>(kDetectionThreshold))) continue;

        int64_t cx = 0, cy = 0, w = 0, h = 0;
        DetectionFault f;
        if ((f = truncate(scaled(row[0], width), cx)) != DetectionFault::None) return f;
        if ((f = truncate(scaled(row[1], height), cy)) != DetectionFault::None) return f;
        if ((f = truncate(scaled(row[2], width), w)) != DetectionFault::None) return f;
        if ((f = truncate(scaled(row[3], height), h)) != DetectionFault::None) return f;

        DetectionCandidate c;
        // int - int / 2: the ints become doubles, the division is exact.
        if ((f = truncate(static_cast<double>(cx) - static_cast<double>(w) / 2, c.x)) !=
            DetectionFault::None)
            return f;
        if ((f = truncate(static_cast<double>(cy) - static_cast<double>(h) / 2, c.y)) !=
            DetectionFault::None)
            return f;
        c.w = w;
        c.h = h;
        c.confidence = static_cast<double>(confidence);
        c.class_id = class_id;
        out.push_back(c);
    }
    return DetectionFault::None;
}

}  // namespace

DetectionScan collect_candidates(std::span<const DetectionMatrix> outputs,
                                 int64_t width, int64_t height) {
    DetectionScan scan;
    for (const DetectionMatrix &m : outputs) {
        scan.fault = m.element == DetectionMatrix::Element::Float32
                         ? scan_rows<float>(m, width, height, scan.candidates)
                         : scan_rows<double>(m, width, height, scan.candidates);
        if (scan.fault != DetectionFault::None) break;
    }
    return scan;
}

}  // namespace wrapper_native
