// wrapper.infra.PictureScanner: objects in a picture with a YOLOv3 network
// run through OpenCV's dnn module.
//
// The network files live in res/ beside this module and are found through
// the module's `__file__`, looked up at call time like every other global.
// The network that identify_objects_in_image loads is kept for the next
// call while its three files are unchanged (same path, modification time,
// size and inode); get_layers itself always builds a fresh one, since its
// caller owns what it returns.
#include <nanobind/nanobind.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "frame_detection.hpp"
#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "wrapper_native/darknet_weights.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

const char *const kWeightsFile = "res/yolov3.weights";
const char *const kConfigFile = "res/yolov3.cfg";
const char *const kLabelsFile = "res/coco.names";

// The objects bound at import; the cache is used only while the module
// still calls these.
pyface::OriginalGlobal g_cv2("cv2");
pyface::OriginalGlobal g_os("os");
pyface::OriginalGlobal g_get_layers("get_layers");

struct ModelPaths {
    nb::object directory, weights, config, labels;
};

ModelPaths model_paths(const Args &a) {
    nb::object path = a.global("os").attr("path");
    ModelPaths p;
    p.directory = path.attr("dirname")(path.attr("abspath")(a.global("__file__")));
    p.weights = path.attr("join")(p.directory, kWeightsFile);
    p.config = path.attr("join")(p.directory, kConfigFile);
    p.labels = path.attr("join")(p.directory, kLabelsFile);
    return p;
}

// Raises FileNotFoundError naming the missing file and where the files
// belong, chained to the error that revealed it.
[[noreturn]] void raise_missing(const ModelPaths &p, nb::handle missing,
                                const nb::python_error &cause) {
    nb::object message = pyface::concat(
        pyface::concat("YOLOv3 model file not found; the network files are not shipped "
                       "with the package: put yolov3.weights, yolov3.cfg and coco.names in ",
                       p.directory),
        "/res");
    nb::object error =
        nb::handle(PyExc_FileNotFoundError)(nb::int_(ENOENT), message, missing);
    PyException_SetCause(error.ptr(), cause.value().inc_ref().ptr());
    PyException_SetContext(error.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw nb::python_error();
}

// `read` on an open file (all of it without a limit), which is closed
// however the read ends.
nb::object read_and_close(const nb::object &file, const nb::object &limit = nb::object()) {
    pyface::Closing closing(file);
    nb::object data = limit.is_valid() ? file.attr("read")(limit) : file.attr("read")();
    closing.close();
    return data;
}

nb::object read_labels(const Args &a, const ModelPaths &p) {
    nb::object file;
    try {
        file = a.global("open")(p.labels);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) raise_missing(p, p.labels, e);
        throw;
    }
    nb::object text = read_and_close(file);
    return text.attr("strip")().attr("split")("\n");
}

nb::object read_bytes(nb::handle path, Py_ssize_t limit = -1) {
    return read_and_close(nb::module_::import_("io").attr("open")(path, "rb"),
                          nb::int_(limit));
}

// OpenCV reads the weights without checking that the file holds them all:
// a truncated file loads, its missing end left as uninitialised memory, and
// detections change from run to run. Refuse a file shorter than the
// network its configuration describes (when that size can be told).
void check_weights_size(const Args &a, const ModelPaths &p) {
    if (!g_cv2.is_pristine(a)) return;  // a stand-in reads no file
    nb::object config = read_bytes(p.config);
    const auto count = wrapper_native::darknet_parameter_count(
        std::string_view(PyBytes_AS_STRING(config.ptr()),
                         static_cast<size_t>(PyBytes_GET_SIZE(config.ptr()))));
    if (!count) return;
    nb::object head = read_bytes(p.weights, 8);
    if (PyBytes_GET_SIZE(head.ptr()) < 8) return;
    int32_t version[2];
    std::memcpy(version, PyBytes_AS_STRING(head.ptr()), sizeof version);
    const uint64_t needed = wrapper_native::darknet_header_size(version[0], version[1]) + 4 * *count;
    const auto size = nb::cast<uint64_t>(a.global("os").attr("stat")(p.weights).attr("st_size"));
    if (size >= needed) return;
    nb::object message = pyface::concat(pyface::concat("The network weights file ", p.weights),
                                        " is truncated: it holds " + std::to_string(size) +
                                            " bytes, the network in ");
    message = pyface::concat(pyface::add(message, p.config),
                             " needs " + std::to_string(needed));
    pyface::raise_object(PyExc_ValueError, message);
}

nb::object get_layers(const Args &a) {
    const ModelPaths p = model_paths(a);
    nb::object net;
    try {
        net = a.global("cv2").attr("dnn").attr("readNet")(p.weights, p.config);
    } catch (nb::python_error &e) {
        nb::object isfile = a.global("os").attr("path").attr("isfile");
        if (!pyface::truthy(isfile(p.weights))) raise_missing(p, p.weights, e);
        if (!pyface::truthy(isfile(p.config))) raise_missing(p, p.config, e);
        throw;
    }
    check_weights_size(a, p);
    nb::object labels = read_labels(a, p);
    nb::object names = net.attr("getLayerNames")();
    nb::list outputs;
    nb::object one = nb::int_(1);
    for (nb::handle i : net.attr("getUnconnectedOutLayers")()) {
        nb::object index = nb::steal(pyface::check(PyNumber_Subtract(i.ptr(), one.ptr())));
        outputs.append(names[index]);
    }
    return nb::make_tuple(net, outputs, labels);
}

// ---- the network kept between picture calls ------------------------------

// (key, net, output layer names, labels), or null. Only touched with the
// GIL held and without calling back into Python in between, so taking it
// is atomic: each call has the network to itself.
PyObject *g_idle = nullptr;

// What identifies the files a network was built from; invalid when a file
// cannot be examined (loading will then raise its own error).
nb::object files_key(const ModelPaths &p) {
    nb::object stat = g_os.value().attr("stat");
    nb::list key;
    for (nb::handle path : {p.weights, p.config, p.labels}) {
        nb::object st;
        try {
            st = stat(path);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_OSError)) return nb::object();
            throw;
        }
        key.append(nb::make_tuple(path, st.attr("st_mtime_ns"), st.attr("st_size"),
                                  st.attr("st_ino")));
    }
    return nb::tuple(key);
}

nb::object take_idle() {
    PyObject *entry = g_idle;
    g_idle = nullptr;
    return nb::steal(entry);
}

void park(nb::object entry) {
    PyObject *previous = g_idle;
    g_idle = entry.release().ptr();
    Py_XDECREF(previous);
}

nb::object identify_objects_in_image(const Args &a) {
    // cv2.imread reads a name only up to a NUL and takes None for a path.
    nb::object image_path = pyface::path_argument(a[0], "identify_objects_in_image", "image_path");
    // cv2.imread gives None for a picture it cannot read, whatever the
    // reason: say which, before any network is loaded.
    nb::object picture = a.global("cv2").attr("imread")(image_path);
    if (picture.is_none()) {
        if (!pyface::truthy(a.global("os").attr("path").attr("exists")(image_path))) {
            PyErr_SetObject(PyExc_FileNotFoundError,
                            nb::handle(PyExc_FileNotFoundError)(
                                nb::int_(ENOENT), "No such file or directory", image_path)
                                .ptr());
            throw nb::python_error();
        }
        pyface::raise_object(
            PyExc_ValueError,
            pyface::concat(pyface::concat("Cannot read the picture ", pyface::format(image_path)),
                           ": not a picture file OpenCV can decode, or not readable"));
    }
    const bool cacheable = pyface::all_pristine(a, {&g_get_layers, &g_cv2, &g_os});
    nb::object key;
    std::vector<nb::object> layers;
    if (cacheable) {
        const ModelPaths p = model_paths(a);
        key = files_key(p);
        if (key.is_valid()) {
            nb::object idle = take_idle();
            if (idle.is_valid() && pyface::equals(idle[0], key))
                layers = {idle[1], idle[2], idle[3]};
        }
    }
    if (layers.empty()) {
        layers = pyface::unpack(a.global("get_layers")(), 3);
        if (key.is_valid()) {
            // A file replaced while it was being read: do not keep this one.
            nb::object after = files_key(model_paths(a));
            if (!after.is_valid() || !pyface::equals(after, key)) key = nb::object();
        }
    }
    nb::object found = wrapper::frame_detection::detect_objects(a, picture, layers[0], layers[1],
                                                                layers[2], /*print_shape=*/true);
    if (key.is_valid()) park(nb::make_tuple(key, layers[0], layers[1], layers[2]));
    return found;
}

}  // namespace

NB_MODULE(PictureScanner, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("cv2");
    mod.import_module("numpy", "np");
    mod.import_module("os");

    mod.def("get_layers", {}, get_layers);
    mod.def("identify_objects_in_image", {"image_path"}, identify_objects_in_image);
    for (pyface::OriginalGlobal *global : {&g_cv2, &g_os, &g_get_layers})
        global->capture(mod.globals());
}
