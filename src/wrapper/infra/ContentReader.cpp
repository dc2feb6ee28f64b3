// wrapper.infra.ContentReader: one file in, one text out. PDFs go through
// the OCR tool first and fall back to their own text layer plus OCR of the
// embedded pictures; pictures and video frames go through Tesseract.
#include <nanobind/nanobind.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

// Runs `body`; an error of class Exception (or any C++ error) that it
// raises is returned instead of thrown, as `except Exception` would catch
// it. KeyboardInterrupt and SystemExit keep unwinding.
template <class Body>
std::optional<nb::python_error> capture(Body &&body) {
    try {
        body();
        return std::nullopt;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::move(e);
    } catch (...) {
        pyface::restore_current_exception();
        return nb::python_error();
    }
}

// While alive, `error` is the exception being handled: what
// traceback.format_exc() reports and the context of any error raised
// meanwhile, as inside an `except` block.
class HandledError {
public:
    explicit HandledError(const nb::python_error &error) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        nb::object tb = error.traceback();
        PyErr_SetExcInfo(Py_NewRef(error.type().ptr()), Py_NewRef(error.value().ptr()),
                         tb.is_valid() ? tb.release().ptr() : nullptr);
    }
    HandledError(const HandledError &) = delete;
    HandledError &operator=(const HandledError &) = delete;
    ~HandledError() { PyErr_SetExcInfo(type_, value_, traceback_); }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// The pytesseract module and its image_to_string as bound at import: only
// the real engine is known to give the same text for the same frame.
PyObject *g_pytesseract = nullptr;
PyObject *g_image_to_string = nullptr;

// "prefix" + format(value) + "suffix", as an f-string would build it.
nb::object fstr(std::string_view prefix, nb::handle value, std::string_view suffix = {}) {
    nb::object text = pyface::concat(prefix, pyface::format(value));
    return suffix.empty() ? text : pyface::concat(text, suffix);
}

// An argument for the OCR tool. The tool reads a leading "-" as an option
// (or as standard input); "./" keeps such a relative path pointing at the
// same file while making it a plain file name.
nb::object tool_argument(nb::handle path) {
    nb::object text = pyface::format(path);
    if (pyface::truthy(text.attr("startswith")("-"))) return pyface::concat("./", text);
    return text;
}

nb::object run_ocrmypdf(const Args &a) {
    // Arguments as a list, no shell: blanks, quotes and shell characters in a
    // path reach the tool unchanged instead of being split or executed.
    nb::list command;
    command.append("ocrmypdf");
    command.append(tool_argument(a[0]));
    command.append(tool_argument(a[1]));
    command.append("--force-ocr");
    nb::object run = a.global("subprocess").attr("run");
    nb::object result;
    nb::object error_text;
    try {
        result = run(command, nb::arg("capture_output") = true, nb::arg("text") = true);
    } catch (nb::python_error &e) {
        // A tool that is missing or not executable: a shell would report it
        // with exit status 127/126 and a message on standard error; report it
        // the same way so callers see one kind of failure.
        if (!e.matches(PyExc_OSError)) throw;
        error_text = pyface::str(e.value());
    }
    if (!error_text.is_valid() && pyface::equals(result.attr("returncode"), nb::int_(0))) {
        pyface::log(a, "debug", "Command executed successfully");
        pyface::log(a, "debug", "Output:");
        pyface::log(a, "debug", result.attr("stdout"));
        return nb::none();
    }
    pyface::log(a, "debug", "Command failed");
    pyface::log(a, "debug", "Error:");
    pyface::log(a, "debug", error_text.is_valid() ? error_text : result.attr("stderr"));
    pyface::raise(PyExc_Exception, "Fail to process pdf");
}

// Closes a PyMuPDF document on every way out of a scope.
class OpenDocument {
public:
    explicit OpenDocument(nb::object doc = nb::object()) : doc_(std::move(doc)) {}
    OpenDocument(const OpenDocument &) = delete;
    OpenDocument &operator=(const OpenDocument &) = delete;
    // Unwinding past an open document: close it, and keep the error that is
    // already on its way out rather than one from closing.
    ~OpenDocument() {
        if (!doc_.is_valid()) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(doc_.ptr(), "close", nullptr);
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
        PyErr_Restore(type, value, tb);
    }
    void reset(nb::object doc) { doc_ = std::move(doc); }
    nb::handle get() const { return doc_; }
    void close() {
        if (!doc_.is_valid()) return;
        nb::object doc = std::move(doc_);
        doc_ = nb::object();
        doc.attr("close")();
    }

private:
    nb::object doc_;
};

// True when both are str paths naming one existing file. The tool writes
// its result over the output path, so a document that is itself the
// working copy (a file called output.pdf in the base directory) would be
// replaced by its rasterised OCR copy.
bool same_file(nb::handle x, nb::handle y) {
    if (!pyface::is_str(x) || !pyface::is_str(y)) return false;
    const std::string a = pyface::utf8(x), b = pyface::utf8(y);
    nb::gil_scoped_release unlocked;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

nb::object extract_text_from_pdf(const Args &a) {
    nb::object output_pdf = pyface::concat(a[1], "/output.pdf");
    // A path that is none (PyMuPDF would open a new empty document) or
    // that is cut short at a NUL is refused before the tool runs.
    pyface::path_argument(a[0], "extract_text_from_pdf", "pdf_path");
    pyface::log(a, "debug", pyface::concat("output pdf ", output_pdf));
    OpenDocument copy;
    nb::object text = nb::str("");
    std::optional<nb::python_error> failure = capture([&] {
        if (same_file(a[0], output_pdf))
            pyface::raise_object(PyExc_Exception,
                                 pyface::concat(pyface::concat("The document ", output_pdf),
                                                " is the OCR working copy itself"));
        a.global("run_ocrmypdf")(a[0], output_pdf);
        copy.reset(a.global("fitz").attr("open")(output_pdf));
        nb::handle doc = copy.get();
        const Py_ssize_t pages = nb::cast<Py_ssize_t>(doc.attr("page_count"));
        for (Py_ssize_t i = 0; i < pages; ++i) {
            nb::object page_text = doc[nb::int_(i)].attr("get_text")("text");
            text = pyface::add(text, page_text);
            pyface::log(a, "debug",
                        fstr("Page " + std::to_string(i + 1) + " Text:\n", page_text, "\n"));
        }
    });
    if (failure) {
        HandledError handling(*failure);
        pyface::log(a, "error", a.global("traceback").attr("format_exc")());
        pyface::log(a, "info", "trying new method to extract text from pdf");
        text = a.global("_extract_text_from_pdf")(a[0]);
    }
    copy.close();
    return text;
}

nb::object extract_text_from_pdf_layer(const Args &a) {
    pyface::path_argument(a[0], "_extract_text_from_pdf", "pdf_path");
    OpenDocument doc(a.global("fitz").attr("open")(a[0]));
    nb::object text = nb::str("");
    std::optional<nb::python_error> failure = capture([&] {
        const Py_ssize_t pages = nb::cast<Py_ssize_t>(doc.get().attr("page_count"));
        for (Py_ssize_t i = 0; i < pages; ++i) {
            const std::string page_number = std::to_string(i + 1);
            nb::object page = doc.get()[nb::int_(i)];
            text = pyface::add(text, page.attr("get_text")("text"));
            pyface::log(a, "debug", fstr("Page " + page_number + " Text:\n", text, "\n"));
            nb::object blocks = page.attr("get_text")("dict")["blocks"];
            nb::list images;
            for (nb::handle block : blocks)
                if (pyface::equals(block["type"], nb::int_(1))) images.append(block);
            Py_ssize_t number = 0;
            for (nb::handle block : images) {
                pyface::log(a, "debug", "working on meta image");
                pyface::log(a, "debug", block);
                nb::object name = fstr(std::to_string(i) + "_" + std::to_string(number++) + ".",
                                       block["ext"]);
                pyface::log(a, "debug", fstr("image name ", name, "..."));
                nb::object stream = a.global("io").attr("BytesIO")(block["image"]);
                nb::object picture = a.global("Image").attr("open")(stream);
                nb::object found = a.global("pytesseract").attr("image_to_string")(picture);
                text = pyface::add(text, found);
                pyface::log(a, "debug",
                            pyface::add(fstr("OCR Result for Image ", name,
                                             " on Page " + page_number + ":\n"),
                                        fstr("", found, "\n")));
            }
        }
    });
    if (failure) {
        HandledError handling(*failure);
        pyface::log(a, "error", a.global("traceback").attr("format_exc")());
    }
    pyface::log(a, "debug", "final text extracted from pdf");
    pyface::log(a, "debug", text);
    doc.close();
    if (failure) throw std::move(*failure);
    return text;
}

nb::object extract_text_from_image(const Args &a) {
    return a.global("pytesseract").attr("image_to_string")(a[0]);
}

// True when two frames hold the same pixels (same layout, same bytes).
bool same_pixels(nb::handle x, nb::handle y) {
    Py_buffer bx, by;
    if (PyObject_GetBuffer(x.ptr(), &bx, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    if (PyObject_GetBuffer(y.ptr(), &by, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        PyBuffer_Release(&bx);
        return false;
    }
    bool same = bx.ndim == by.ndim && bx.len == by.len &&
                PyBuffer_IsContiguous(&bx, 'C') && PyBuffer_IsContiguous(&by, 'C') &&
                std::strcmp(bx.format ? bx.format : "B", by.format ? by.format : "B") == 0;
    for (int d = 0; same && d < bx.ndim; ++d) same = bx.shape[d] == by.shape[d];
    if (same) same = std::memcmp(bx.buf, by.buf, static_cast<size_t>(bx.len)) == 0;
    PyBuffer_Release(&bx);
    PyBuffer_Release(&by);
    return same;
}

nb::object extract_text_from_video(const Args &a) {
    // OpenCV reads a name only up to a NUL: "a.mp4\0.mp4" would be a.mp4.
    nb::object path = pyface::path_argument(a[0], "extract_text_from_video", "video_path");
    nb::object text = nb::str("");
    if (pyface::truthy(path.attr("endswith")(".mp4"))) {
        nb::object video = a.global("cv2").attr("VideoCapture")(path);
        std::optional<nb::python_error> failure = capture([&] {
            nb::object tesseract = a.global("pytesseract");
            nb::object image_to_string = tesseract.attr("image_to_string");
            // Tesseract gives the same text for the same pixels, so a frame
            // identical to the one before (a still scene) reuses its text.
            // Only for the real engine: a replacement may not be a function
            // of the pixels alone.
            const bool reuse = tesseract.ptr() == g_pytesseract &&
                               image_to_string.ptr() == g_image_to_string;
            nb::object previous_frame, previous_text;
            while (pyface::truthy(video.attr("isOpened")())) {
                nb::object read = video.attr("read")();
                nb::object ok = read[0], frame = read[1];
                if (!pyface::truthy(ok)) break;
                nb::object found;
                if (reuse && previous_frame.is_valid() && same_pixels(frame, previous_frame))
                    found = previous_text;
                else
                    found = image_to_string(frame);
                text = pyface::add(text, found);
                if (reuse) previous_frame = frame, previous_text = found;
            }
        });
        video.attr("release")();
        if (failure) throw std::move(*failure);
    } else if (pyface::truthy(path.attr("endswith")(".wav"))) {
        return a.global("extract_text_from_any")(a[0]);
    }
    return text;
}

nb::object placeholder(const Args &) { return nb::none(); }

}  // namespace

NB_MODULE(ContentReader, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("subprocess");
    mod.import_module("io");
    mod.import_module("os");
    mod.import_module("traceback");
    mod.import_module("logging");
    mod.import_module("cv2");
    nb::object tesseract = mod.import_module("pytesseract");
    g_pytesseract = tesseract.inc_ref().ptr();
    g_image_to_string = tesseract.attr("image_to_string").inc_ref().ptr();
    // The PyMuPDF module under its traditional name, without the warning the
    // old import name now emits. It is loaded when a PDF is first read: with
    // its layout add-on it brings an inference runtime of ~100 MB that a
    // worker which only trains and searches never needs.
    const bool current_name = !nb::module_::import_("importlib.util")
                                   .attr("find_spec")("pymupdf")
                                   .is_none();
    mod.defer_import_module(current_name ? "pymupdf" : "fitz", "fitz");
    mod.import_from("PIL", {"Image"});

    mod.def("extract_text_from_pdf", {"pdf_path", "base_path"}, extract_text_from_pdf);
    mod.def("run_ocrmypdf", {"input_pdf", "output_pdf"}, run_ocrmypdf);
    mod.def("_extract_text_from_pdf", {"pdf_path"}, extract_text_from_pdf_layer);
    mod.def("extract_text_from_image", {"image_path"}, extract_text_from_image);
    mod.def("extract_text_from_video", {"video_path"}, extract_text_from_video);
    mod.def("extract_text_from_any", {"file_path"}, placeholder);
    mod.def("extract_text_from_csv", {"csv_path"}, placeholder);
}
