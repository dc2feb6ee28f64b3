#include "frame_detection.hpp"

#include <nanobind/ndarray.h>

#include <memory>
#include <string_view>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"
#include "wrapper_native/detection.hpp"

namespace wrapper::frame_detection {
namespace {

using wrapper_native::DetectionFault;
using wrapper_native::DetectionMatrix;

// Network input: pixels times 0.00392, resized to 416 x 416 without
// cropping, no mean subtracted, red and blue swapped.
constexpr double kScale = 0.00392;
constexpr int kInputSide = 416;
constexpr double kScoreThreshold = 0.5;
constexpr double kOverlapThreshold = 0.4;

// An output array read in place, held for the duration of the native scan.
using OutputArray = nb::ndarray<nb::ro, nb::c_contig>;

// A C-contiguous float32/float64 array of `obj` without a copy, or false.
bool try_view(nb::handle obj, OutputArray &held, DetectionMatrix::Element &element) {
    OutputArray array;
    if (!nb::try_cast(obj, array, /*convert=*/false)) return false;
    if (array.dtype() == nb::dtype<float>())
        element = DetectionMatrix::Element::Float32;
    else if (array.dtype() == nb::dtype<double>())
        element = DetectionMatrix::Element::Float64;
    else
        return false;
    held = std::move(array);
    return true;
}

// One output array as a matrix over its own memory. Arrays that are not
// contiguous float32/float64 are converted with NumPy first (float32 stays
// float32, so the products keep their precision).
DetectionMatrix matrix_of(const pyface::Args &a, nb::handle out, OutputArray &buf) {
    DetectionMatrix::Element element{};
    if (!try_view(out, buf, element)) {
        nb::object np = a.global("np");
        nb::object contiguous = np.attr("ascontiguousarray")(out);
        if (!try_view(contiguous, buf, element)) {
            contiguous = np.attr("ascontiguousarray")(out, nb::arg("dtype") = "float64");
            if (!try_view(contiguous, buf, element))
                pyface::raise(PyExc_TypeError, "detection output is not a numeric array");
        }
    }
    DetectionMatrix m;
    m.data = buf.data();
    m.element = element;
    if (buf.ndim() == 2) {
        m.rows = buf.shape(0);
        m.cols = buf.shape(1);
    } else if (buf.ndim() == 1 && buf.shape(0) == 0) {
        m.rows = 0;  // nothing to iterate over
    } else {
        nb::list shape;
        for (size_t k = 0; k < buf.ndim(); ++k) shape.append(buf.shape(k));
        pyface::raise_object(PyExc_ValueError,
                             pyface::concat("detection output must be a 2-D array, got shape ",
                                            pyface::str(nb::tuple(shape))));
    }
    return m;
}

int64_t as_int64(nb::handle value) {
    nb::object index = nb::steal(pyface::check(PyNumber_Index(value.ptr())));
    const long long v = PyLong_AsLongLong(index.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

[[noreturn]] void raise_fault(DetectionFault fault) {
    switch (fault) {
        case DetectionFault::EmptyScores:
            pyface::raise(PyExc_ValueError, "attempt to get argmax of an empty sequence");
        case DetectionFault::NotANumber:
            pyface::raise(PyExc_ValueError, "cannot convert float NaN to integer");
        case DetectionFault::Infinite:
            pyface::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
        default:
            pyface::raise(PyExc_OverflowError, "detection box coordinate out of range");
    }
}

}  // namespace

nb::object detect_objects(const pyface::Args &a, nb::handle picture, nb::handle net,
                          nb::handle output_layers, nb::handle labels, bool print_shape) {
    nb::object shape = picture.attr("shape");
    std::vector<nb::object> dims = pyface::unpack(shape, 3);  // height, width, channels
    if (print_shape) pyface::print(a, shape);
    const int64_t height = as_int64(dims[0]);
    const int64_t width = as_int64(dims[1]);

    nb::object cv2 = a.global("cv2");
    nb::object dnn = cv2.attr("dnn");
    nb::object blob = dnn.attr("blobFromImage")(
        picture, kScale, nb::make_tuple(kInputSide, kInputSide), nb::make_tuple(0, 0, 0),
        true, nb::arg("crop") = false);
    net.attr("setInput")(blob);
    nb::object outs = net.attr("forward")(output_layers);

    std::vector<OutputArray> buffers;
    std::vector<DetectionMatrix> matrices;
    for (nb::handle out : outs) {
        buffers.emplace_back();
        matrices.push_back(matrix_of(a, out, buffers.back()));
    }
    wrapper_native::DetectionScan scan;
    {
        nb::gil_scoped_release unlocked;
        scan = wrapper_native::collect_candidates(matrices, width, height);
    }
    if (scan.fault != DetectionFault::None) raise_fault(scan.fault);

    const size_t n = scan.candidates.size();
    nb::list boxes, confidences;
    for (const auto &c : scan.candidates) {
        boxes.append(nb::steal(pyface::check(Py_BuildValue("[LLLL]", static_cast<long long>(c.x),
                                                           static_cast<long long>(c.y),
                                                           static_cast<long long>(c.w),
                                                           static_cast<long long>(c.h)))));
        confidences.append(nb::float_(c.confidence));
    }
    // Suppression ignores the class: overlapping boxes of different
    // classes compete with each other.
    nb::object kept =
        dnn.attr("NMSBoxes")(boxes, confidences, kScoreThreshold, kOverlapThreshold);

    nb::list result;
    for (size_t i = 0; i < n; ++i) {
        nb::object position = nb::int_(i);
        if (!pyface::contains(kept, position)) continue;
        nb::object label = labels[nb::int_(scan.candidates[i].class_id)];
        result.append(nb::make_tuple(pyface::str(label), confidences[i]));
    }
    return result;
}

}  // namespace wrapper::frame_detection
