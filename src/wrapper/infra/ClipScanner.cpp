// wrapper.infra.ClipScanner: the picture detector run over every frame of
// a video, with one network loaded per video.
#include <nanobind/nanobind.h>

#include <climits>

#include "frame_detection.hpp"
#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

// int(count) as a loop bound: huge counts are cut at what a loop can reach
// (the first failed read ends it long before), negative ones run no frame.
long long frame_bound(nb::handle count) {
    nb::object n = nb::steal(pyface::check(PyNumber_Long(count.ptr())));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return 0;
    return v;
}

nb::object identify_objects_in_video(const Args &a) {
    // A number would open a camera, and OpenCV reads a name only up to a NUL.
    nb::object video_path = pyface::path_argument(a[0], "identify_objects_in_video", "video_path");
    std::vector<nb::object> layers = pyface::unpack(a.global("get_layers")(), 3);
    nb::object cv2 = a.global("cv2");
    nb::object capture = cv2.attr("VideoCapture")(video_path);
    // Released however the call ends; an error while unwinding does not
    // replace the one already on its way.
    pyface::Closing guard(capture, "release");
    // A file that cannot be opened reports no frames: the result is empty.
    const long long frames = frame_bound(capture.attr("get")(cv2.attr("CAP_PROP_FRAME_COUNT")));
    nb::list results;
    for (long long k = 0; k < frames; ++k) {
        std::vector<nb::object> read = pyface::unpack(capture.attr("read")(), 2);
        if (!pyface::truthy(read[0])) break;
        results.append(wrapper::frame_detection::detect_objects(a, read[1], layers[0], layers[1],
                                                                layers[2], /*print_shape=*/false));
    }
    guard.close();
    return results;
}

}  // namespace

NB_MODULE(ClipScanner, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("cv2");
    mod.import_module("numpy", "np");
    mod.import_from(".PictureScanner", {"get_layers"});

    mod.def("identify_objects_in_video", {"video_path"}, identify_objects_in_video);
}
