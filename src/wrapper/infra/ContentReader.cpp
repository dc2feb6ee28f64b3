// wrapper.infra.ContentReader: one file in, one text out. PDFs go through
// the OCR tool first and fall back to their own text layer plus OCR of the
// embedded pictures; pictures and video frames go through Tesseract.
#include <nanobind/nanobind.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "pyface/buffer_view.hpp"
#include "pyface/errors.hpp"
#include "pyface/file_lock.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/original.hpp"
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


// The pytesseract module and its image_to_string as bound at import: only
// the real engine is known to give the same text for the same frame.
pyface::OriginalGlobal g_pytesseract("pytesseract", {"image_to_string"});

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

// The OCR tool's program: "ocrmypdf" when the PATH finds it; otherwise the
// one installed beside the running interpreter, which a service started
// with the environment's interpreter but without its PATH still has.
// Invalid when neither exists.
nb::object tool_program(const Args &a) {
    nb::object which = a.global("shutil").attr("which");
    nb::str name("ocrmypdf");
    if (!which(name).is_none()) return name;
    nb::object executable = a.global("sys").attr("executable");
    if (pyface::is_str(executable) && pyface::truthy(executable)) {
        nb::object path = a.global("os").attr("path");
        nb::object beside = path.attr("join")(path.attr("dirname")(executable), name);
        if (!which(beside).is_none()) return beside;
    }
    return nb::object();
}

// The last few non-blank lines of the tool's standard error: where its
// own reason for failing is.
nb::object error_tail(nb::handle stderr_text) {
    if (!pyface::is_str(stderr_text) || !pyface::truthy(stderr_text.attr("strip")()))
        return nb::str("(nothing on standard error)");
    nb::list lines;
    for (nb::handle line : stderr_text.attr("splitlines")())
        if (pyface::truthy(line.attr("strip")())) lines.append(line);
    const size_t keep = 5, count = nb::len(lines);
    nb::list tail;
    for (size_t i = count > keep ? count - keep : 0; i < count; ++i) tail.append(lines[i]);
    return nb::str("\n").attr("join")(tail);
}

nb::object run_ocrmypdf(const Args &a) {
    // Arguments as a list, no shell: blanks, quotes and shell characters in a
    // path reach the tool unchanged instead of being split or executed.
    nb::object program = tool_program(a);
    nb::list command;
    command.append(program.is_valid() ? program : nb::object(nb::str("ocrmypdf")));
    command.append(tool_argument(a[0]));
    command.append(tool_argument(a[1]));
    command.append("--force-ocr");
    nb::object run = a.global("subprocess").attr("run");
    nb::object result;
    nb::object error_text;
    // Why the tool failed, for the one ERROR record beside the fixed message.
    nb::object cause;
    try {
        result = run(command, nb::arg("capture_output") = true, nb::arg("text") = true);
    } catch (nb::python_error &e) {
        // A tool that is missing or not executable: a shell would report it
        // with exit status 127/126 and a message on standard error; report it
        // the same way so callers see one kind of failure.
        if (!e.matches(PyExc_OSError)) throw;
        error_text = pyface::str(e.value());
        cause = program.is_valid() ? error_text
                                   : nb::object(nb::str("ocrmypdf not found on PATH"));
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
    if (!cause.is_valid()) {
        nb::object status = result.attr("returncode");
        cause = pyface::add(fstr("exit status ", status, ", standard error ends with:\n"),
                            error_tail(result.attr("stderr")));
    }
    pyface::log(a, "error", pyface::add(fstr("OCR tool failed on ", a[0], ": "), cause));
    pyface::raise(PyExc_Exception, "Fail to process pdf");
}

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

// True when `text` holds something besides white space (anything that is
// not a str counts as text: it is the caller's to judge).
bool has_text(nb::handle text) {
    if (!pyface::is_str(text)) return pyface::truthy(text);
    return pyface::truthy(text.attr("strip")());
}

// Adds to an exception on its way out what the second method was doing and
// on which document; its type and message stay, so callers that catch it
// by type still do.
void add_note(nb::python_error &error, nb::handle pdf_path, const std::string &step) {
    nb::handle value = error.value();
    nb::object note = pyface::concat(
        fstr("while extracting the text of ", pdf_path, " from its own text layer and pictures: "),
        step);
    if (nb::hasattr(value, "add_note")) {
        value.attr("add_note")(note);
        return;
    }
    // Before 3.11 exceptions have no add_note: keep the note where 3.11 does
    // (tracebacks of those interpreters do not show it).
    nb::object notes = nb::getattr(value, "__notes__", nb::none());
    if (notes.is_none()) {
        notes = nb::list();
        value.attr("__notes__") = notes;
    }
    notes.attr("append")(note);
}

// Where the OCR working copy of `output_pdf` is locked: beside it.
nb::object lock_path(nb::handle output_pdf) { return pyface::concat(output_pdf, ".lock"); }

// The first method: the OCR tool over the whole document, then the text of
// its working copy. One compile at a time per base directory runs it, from
// the tool's start to the end of the read-back: the working copy has one
// name per base directory.
nb::object text_through_ocr_tool(const Args &a, nb::handle output_pdf) {
    pyface::FileLock lock(lock_path(output_pdf), a.global("logging"));
    pyface::Closing copy;
    nb::object text = nb::str("");
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
    copy.close();
    return text;
}

nb::object extract_text_from_pdf(const Args &a) {
    nb::object output_pdf = pyface::concat(a[1], "/output.pdf");
    // A path that is none (PyMuPDF would open a new empty document) or
    // that is cut short at a NUL is refused before the tool runs.
    pyface::path_argument(a[0], "extract_text_from_pdf", "pdf_path");
    pyface::log(a, "debug", pyface::concat("output pdf ", output_pdf));
    nb::object text = nb::str("");
    std::optional<nb::python_error> failure = capture([&] {
        if (same_file(a[0], output_pdf))
            pyface::raise_object(PyExc_Exception,
                                 pyface::concat(pyface::concat("The document ", output_pdf),
                                                " is the OCR working copy itself"));
        text = text_through_ocr_tool(a, output_pdf);
    });
    if (failure) {
        // The second method runs as in the except block of the first: an
        // error it raises has the first one as its context.
        pyface::HandledError handling(*failure);
        handling.log_traceback(a);
        pyface::log(a, "info", "trying new method to extract text from pdf");
        return a.global("_extract_text_from_pdf")(a[0]);
    }
    if (has_text(text)) return text;
    // The tool exits 0 also when it gave up on a page (its time limit per
    // page), leaving the page without text: no text from it does not mean
    // the document has none.
    pyface::log(a, "warning",
                fstr("The OCR tool gave no text for ", a[0],
                     "; reading its own text layer and pictures instead"));
    pyface::log(a, "info", "trying new method to extract text from pdf");
    std::optional<nb::python_error> second = capture([&] {
        text = a.global("_extract_text_from_pdf")(a[0]);
    });
    if (second) {
        // The first method did finish: its (empty) text stands, and the
        // reason the second one could not add to it is on record.
        pyface::HandledError(*second).log_traceback(a);
    }
    return text;
}

nb::object extract_text_from_pdf_layer(const Args &a) {
    pyface::path_argument(a[0], "_extract_text_from_pdf", "pdf_path");
    pyface::Closing doc;
    try {
        doc.reset(a.global("fitz").attr("open")(a[0]));
    } catch (nb::python_error &e) {
        add_note(e, a[0], "opening the document");
        throw;
    }
    nb::object text = nb::str("");
    std::string step;
    std::optional<nb::python_error> failure = capture([&] {
        const Py_ssize_t pages = nb::cast<Py_ssize_t>(doc.get().attr("page_count"));
        for (Py_ssize_t i = 0; i < pages; ++i) {
            const std::string page_number = std::to_string(i + 1);
            step = "reading the text of page " + page_number;
            nb::object page = doc.get()[nb::int_(i)];
            text = pyface::add(text, page.attr("get_text")("text"));
            pyface::log(a, "debug", fstr("Page " + page_number + " Text:\n", text, "\n"));
            step = "listing the pictures of page " + page_number;
            nb::object blocks = page.attr("get_text")("dict")["blocks"];
            nb::list images;
            for (nb::handle block : blocks)
                if (pyface::equals(block["type"], nb::int_(1))) images.append(block);
            Py_ssize_t number = 0;
            for (nb::handle block : images) {
                step = "picture " + std::to_string(number) + " of page " + page_number;
                pyface::log(a, "debug", "working on meta image");
                pyface::log(a, "debug", block);
                nb::object name = fstr(std::to_string(i) + "_" + std::to_string(number++) + ".",
                                       block["ext"]);
                const std::string picture_step =
                    pyface::utf8(fstr("picture ", name, " on page " + page_number));
                pyface::log(a, "debug", fstr("image name ", name, "..."));
                step = "opening " + picture_step;
                nb::object stream = a.global("io").attr("BytesIO")(block["image"]);
                nb::object picture = a.global("Image").attr("open")(stream);
                step = "OCR of " + picture_step;
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
        add_note(*failure, a[0], step);
        pyface::HandledError(*failure).log_traceback(a);
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
    const pyface::BufferView bx(x, PyBUF_STRIDES | PyBUF_FORMAT);
    const pyface::BufferView by(y, PyBUF_STRIDES | PyBUF_FORMAT);
    if (!bx.ok() || !by.ok()) return false;
    const Py_buffer &vx = bx.view(), &vy = by.view();
    bool same = vx.ndim == vy.ndim && vx.len == vy.len && bx.format() == by.format() &&
                PyBuffer_IsContiguous(&vx, 'C') && PyBuffer_IsContiguous(&vy, 'C');
    for (int d = 0; same && d < vx.ndim; ++d) same = vx.shape[d] == vy.shape[d];
    return same && std::memcmp(vx.buf, vy.buf, static_cast<size_t>(vx.len)) == 0;
}

nb::object extract_text_from_video(const Args &a) {
    // OpenCV reads a name only up to a NUL: "a.mp4\0.mp4" would be a.mp4.
    nb::object path = pyface::path_argument(a[0], "extract_text_from_video", "video_path");
    nb::object text = nb::str("");
    if (pyface::truthy(path.attr("endswith")(".mp4"))) {
        pyface::Closing capture_guard(a.global("cv2").attr("VideoCapture")(path), "release");
        nb::handle video = capture_guard.get();
        std::optional<nb::python_error> failure = capture([&] {
            nb::object tesseract = a.global("pytesseract");
            nb::object image_to_string = tesseract.attr("image_to_string");
            // Tesseract gives the same text for the same pixels, so a frame
            // identical to the one before (a still scene) reuses its text.
            // Only for the real engine: a replacement may not be a function
            // of the pixels alone.
            const bool reuse = g_pytesseract.is_pristine(a);
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
        capture_guard.close();
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
    mod.import_module("shutil");
    mod.import_module("sys");
    mod.import_module("io");
    mod.import_module("os");
    mod.import_module("traceback");
    mod.import_module("logging");
    mod.import_module("cv2");
    mod.import_module("pytesseract");
    g_pytesseract.capture(mod.globals());
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
