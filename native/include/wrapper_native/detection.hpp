// Turning the raw output rows of a YOLO-style network into candidate boxes.
//
// Each row holds centre x, centre y, width and height as fractions of the
// picture, an objectness score (unused here) and one score per class. The
// arithmetic reproduces what NumPy does with these rows: a float32 value
// times a Python int is a float32 product, int() truncates toward zero, and
// the corner is int(centre - size / 2) with true division in double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace wrapper_native {

// One output array of the network: `rows` rows of `cols` values, row-major
// and contiguous, of single or double precision.
struct DetectionMatrix {
    enum class Element { Float32, Float64 };
    const void *data = nullptr;
    Element element = Element::Float32;
    size_t rows = 0;
    size_t cols = 0;
};

// A row whose best class score is strictly above this becomes a candidate.
inline constexpr double kDetectionThreshold = 0.5;
// Class scores start at this column.
inline constexpr size_t kFirstClassColumn = 5;

struct DetectionCandidate {
    int64_t x = 0, y = 0, w = 0, h = 0;  // left, top, width, height in pixels
    double confidence = 0;               // the winning class score, widened exactly
    size_t class_id = 0;

    bool operator==(const DetectionCandidate &) const = default;
};

// What stops the scan, in the words the interpreter would use.
enum class DetectionFault {
    None,
    EmptyScores,  // a row with no class column: argmax of an empty sequence
    NotANumber,   // int() of NaN
    Infinite,     // int() of an infinity
    OutOfRange,   // a coordinate beyond 64-bit integers
};

struct DetectionScan {
    std::vector<DetectionCandidate> candidates;  // in the order rows were read
    DetectionFault fault = DetectionFault::None;
};

// Reads the matrices in order, rows in order. A fault ends the scan; the
// candidates found before it are then meaningless to the caller.
DetectionScan collect_candidates(std::span<const DetectionMatrix> outputs,
                                 int64_t width, int64_t height);

}  // namespace wrapper_native
