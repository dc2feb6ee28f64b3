import os
import shutil
import subprocess
import sys
import types

import pymupdf
import pytest

import sample_documents as docs
from wrapper.infra import ContentReader

# Names of directories that a shell would split or execute.
SHELL_DIR = 'docs with blank; touch stray "q"'


@pytest.fixture(scope="module")
def ocr_runs(tmp_path_factory):
    """The real OCR tool over a PDF with a text layer and a scanned PDF,
    both in a directory whose name holds a blank, `;` and quotes. Run once;
    the tests look at the texts, the log records and the files left."""
    root = tmp_path_factory.mktemp("ocr")
    base = root / SHELL_DIR
    base.mkdir()
    layered = docs.text_pdf(base / "layered.pdf", "Zebra quantum harbor", hidden="phantom")
    scanned = docs.scanned_pdf(base / "scanned.pdf", "Marmalade lighthouse")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("PATH", docs.tool_path())
        mp.chdir(root)
        with docs.root_log_records() as layered_log:
            layered_text = ContentReader.extract_text_from_pdf(layered, str(base))
        with docs.root_log_records() as scanned_log:
            scanned_text = ContentReader.extract_text_from_pdf(scanned, str(base))
    return types.SimpleNamespace(
        root=root, base=base, layered=layered, scanned=scanned,
        layered_text=layered_text, layered_log=layered_log,
        scanned_text=scanned_text, scanned_log=scanned_log)


@pytest.mark.slow
def test_ocr_path_returns_the_working_copy_text(ocr_runs):
    text = ocr_runs.layered_text.lower()
    assert "zebra" in text and "harbor" in text
    # The input's invisible text layer is not what comes back: the text is
    # read from the OCR'd working copy.
    assert "phantom" not in text
    debug = docs.messages(ocr_runs.layered_log, "DEBUG")
    assert debug[0] == "output pdf " + str(ocr_runs.base) + "/output.pdf"
    assert debug[1:3] == ["Command executed successfully", "Output:"]
    assert any(m.startswith("Page 1 Text:\n") and "Zebra" in m for m in debug)
    assert "working on meta image" not in debug
    assert not docs.messages(ocr_runs.layered_log, "ERROR")
    assert (ocr_runs.base / "output.pdf").is_file()


@pytest.mark.slow
def test_scanned_pdf_text_comes_from_ocr(ocr_runs):
    text = ocr_runs.scanned_text.lower()
    assert "marmalade" in text and "lighthouse" in text
    assert "trying new method to extract text from pdf" not in docs.messages(ocr_runs.scanned_log)


@pytest.mark.slow
def test_shell_characters_in_paths_are_passed_through_unchanged(ocr_runs):
    # Both runs succeeded through the tool, and nothing was executed: the
    # working directory holds only the documents' directory.
    assert sorted(os.listdir(ocr_runs.root)) == [SHELL_DIR]
    assert sorted(os.listdir(ocr_runs.base)) == \
        ["layered.pdf", "output.pdf", "output.pdf.lock", "scanned.pdf"]
    # The working copy is the scanned document's (the second run overwrote it).
    copy = pymupdf.open(ocr_runs.base / "output.pdf")
    assert "marmalade" in copy[0].get_text("text").lower()
    copy.close()


def hide_the_tool(monkeypatch, tmp_path):
    """No OCR tool on PATH nor beside the interpreter (a copy of the
    interpreter's name in an empty folder)."""
    path_without_tool = "/usr/bin:/bin"
    if shutil.which("ocrmypdf", path=path_without_tool):
        pytest.skip("the OCR tool is installed system-wide")
    monkeypatch.setenv("PATH", path_without_tool)
    monkeypatch.setattr(ContentReader.sys, "executable", str(tmp_path / "python"))


@pytest.mark.slow
def test_fallback_when_the_tool_is_absent(ocr_runs, monkeypatch, caplog, tmp_path):
    hide_the_tool(monkeypatch, tmp_path)
    caplog.set_level("DEBUG")
    base = str(ocr_runs.base) + "/"
    text = ContentReader.extract_text_from_pdf(ocr_runs.scanned, base)
    assert "marmalade" in text.lower() and "lighthouse" in text.lower()
    records = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert records[0] == ("DEBUG", "output pdf " + base + "/output.pdf")
    assert records[1:3] == [("DEBUG", "Command failed"), ("DEBUG", "Error:")]
    assert "ocrmypdf" in records[3][1]
    # One record says why, the traceback keeps the fixed message.
    assert records[4] == ("ERROR", "OCR tool failed on %s: ocrmypdf not found on PATH"
                          % ocr_runs.scanned)
    assert records[5][0] == "ERROR" and "Fail to process pdf" in records[5][1]
    assert records[6] == ("INFO", "trying new method to extract text from pdf")
    assert ("DEBUG", "working on meta image") in records[7:]
    assert ("DEBUG", "image name 0_0.png...") in records[7:]
    assert [r for r in records if r[0] == "WARNING"] == []


@pytest.mark.slow
def test_tool_rejecting_an_unreadable_file_then_second_method_raises(tmp_path, monkeypatch, caplog):
    monkeypatch.setenv("PATH", docs.tool_path())
    caplog.set_level("DEBUG")
    broken = tmp_path / "broken.pdf"
    broken.write_bytes(b"this is not a PDF at all\n")
    with pytest.raises(Exception) as info:
        ContentReader.extract_text_from_pdf(str(broken), str(tmp_path))
    # Raised while the tool's failure was being handled, as in an except block.
    chain, error = [], info.value
    while error is not None:
        chain.append(str(error))
        error = error.__context__
    assert chain[0] != "Fail to process pdf" and chain[-1] == "Fail to process pdf"
    messages = [r.getMessage() for r in caplog.records]
    assert messages[1:3] == ["Command failed", "Error:"]
    assert "trying new method to extract text from pdf" in messages
    # The second method failed at opening, before its own handler.
    assert "final text extracted from pdf" not in messages


def test_document_named_like_the_working_copy_is_not_overwritten(tmp_path, monkeypatch, caplog):
    monkeypatch.setenv("PATH", docs.tool_path())
    monkeypatch.setattr(ContentReader, "run_ocrmypdf", lambda *a: pytest.fail("tool ran"))
    docs.text_pdf(tmp_path / "output.pdf", "Quokka parade")
    before = (tmp_path / "output.pdf").read_bytes()
    caplog.set_level("INFO")
    text = ContentReader.extract_text_from_pdf(str(tmp_path / "." / "output.pdf"), str(tmp_path))
    assert text == "Quokka parade\n"
    assert (tmp_path / "output.pdf").read_bytes() == before
    assert "is the OCR working copy itself" in caplog.records[0].getMessage()
    assert caplog.messages[1] == "trying new method to extract text from pdf"


def test_second_method_joins_page_text_and_pictures_in_order(tmp_path, caplog):
    path = docs.pictures_pdf(tmp_path / "three.pdf",
                             ["Orchard apples", "Granite steps", "Captions below"],
                             ["Violet", "Tundra"])
    caplog.set_level("DEBUG")
    text = ContentReader._extract_text_from_pdf(path)
    lowered = text.lower()
    positions = [lowered.find(w) for w in ("orchard", "granite", "captions", "violet", "tundra")]
    assert -1 not in positions and positions == sorted(positions)
    messages = [r.getMessage() for r in caplog.records]
    assert messages.count("working on meta image") == 2
    assert "image name 2_0.jpeg..." in messages and "image name 2_1.jpeg..." in messages
    assert any(m.startswith("OCR Result for Image 2_1.jpeg on Page 3:\n") for m in messages)
    # The page message carries everything collected so far.
    page3 = next(m for m in messages if m.startswith("Page 3 Text:\n"))
    assert "Orchard" in page3 and "Granite" in page3
    assert messages[-2:] == ["final text extracted from pdf", text]


def test_second_method_adds_ocr_text_with_nothing_between(tmp_path, monkeypatch):
    path = docs.pictures_pdf(tmp_path / "three.pdf", ["One", "Two", "Three"], ["A", "B"])
    seen = []

    def fake_ocr(image):
        seen.append(image.size)
        return "<%d>" % len(seen)

    monkeypatch.setattr(ContentReader, "pytesseract", types.SimpleNamespace(image_to_string=fake_ocr))
    assert ContentReader._extract_text_from_pdf(path) == "One\nTwo\nThree\n<1><2>"
    assert len(seen) == 2


def test_second_method_failure_logs_partial_text_and_reraises(tmp_path, monkeypatch, caplog):
    path = docs.pictures_pdf(tmp_path / "three.pdf", ["One", "Two", "Three"], ["A", "B"])

    def broken_ocr(image):
        raise RuntimeError("engine missing")

    monkeypatch.setattr(ContentReader, "pytesseract", types.SimpleNamespace(image_to_string=broken_ocr))
    caplog.set_level("DEBUG")
    with pytest.raises(RuntimeError, match="engine missing"):
        ContentReader._extract_text_from_pdf(path)
    tail = [(r.levelname, r.getMessage()) for r in caplog.records][-3:]
    assert tail[0][0] == "ERROR" and "engine missing" in tail[0][1]
    assert tail[1:] == [("DEBUG", "final text extracted from pdf"), ("DEBUG", "One\nTwo\nThree\n")]


def test_blank_document_tries_both_methods_and_ends_without_text(tmp_path, monkeypatch, caplog):
    monkeypatch.setenv("PATH", docs.tool_path())
    blank = docs.blank_pdf(tmp_path / "blank.pdf")
    calls = []
    real_tool = ContentReader.run_ocrmypdf

    def watched_tool(input_pdf, output_pdf):
        calls.append((input_pdf, output_pdf))
        return real_tool(input_pdf, output_pdf)

    monkeypatch.setattr(ContentReader, "run_ocrmypdf", watched_tool)
    caplog.set_level("DEBUG")
    assert ContentReader.extract_text_from_pdf(blank, str(tmp_path)) == ""
    assert calls == [(blank, str(tmp_path) + "/output.pdf")]
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warnings == ["The OCR tool gave no text for %s; reading its own text layer and "
                        "pictures instead" % blank]
    assert "trying new method to extract text from pdf" in caplog.messages
    assert "final text extracted from pdf" in caplog.messages
    assert not [r for r in caplog.records if r.levelname == "ERROR"]


def test_empty_ocr_output_stands_when_the_second_method_fails(tmp_path, monkeypatch, caplog):
    path = docs.pictures_pdf(tmp_path / "three.pdf", ["One", "Two", "Three"], ["A", "B"])
    monkeypatch.setattr(ContentReader, "run_ocrmypdf",
                        lambda input_pdf, output_pdf: docs.blank_pdf(output_pdf))

    def broken_ocr(image):
        raise RuntimeError("engine missing")

    monkeypatch.setattr(ContentReader, "pytesseract", types.SimpleNamespace(image_to_string=broken_ocr))
    caplog.set_level("INFO")
    # The first method finished: its empty text is the answer, and why the
    # second could not add to it is on record.
    assert ContentReader.extract_text_from_pdf(path, str(tmp_path)) == ""
    levels = [r.levelname for r in caplog.records]
    assert levels == ["WARNING", "INFO", "ERROR", "ERROR"]
    if sys.version_info >= (3, 11):  # tracebacks show exception notes from 3.11 on
        assert "OCR of picture 2_0.jpeg on page 3" in caplog.records[-1].getMessage()


def write_tool(folder, body):
    """An executable `ocrmypdf` shell script in `folder`."""
    folder.mkdir(exist_ok=True)
    tool = folder / "ocrmypdf"
    tool.write_text("#!/bin/sh\n" + body)
    tool.chmod(0o755)
    return str(folder)


@pytest.mark.slow
def test_pages_the_tool_gives_up_on_are_read_from_the_text_layer(tmp_path, monkeypatch, caplog):
    # The real tool with a page time limit of zero: it exits 0 and leaves
    # every page without text, as it does when the limit runs out.
    real = shutil.which("ocrmypdf", path=docs.tool_path())
    limited = write_tool(tmp_path / "limited", 'exec "%s" "$@" --tesseract-timeout 0\n' % real)
    monkeypatch.setenv("PATH", limited + os.pathsep + docs.tool_path())
    layered = docs.text_pdf(tmp_path / "layered.pdf", "Zebra quantum harbor")
    caplog.set_level("DEBUG")
    text = ContentReader.extract_text_from_pdf(layered, str(tmp_path))
    assert "Zebra quantum harbor" in text
    assert "Command executed successfully" in caplog.messages
    copy = pymupdf.open(tmp_path / "output.pdf")
    assert copy[0].get_text("text").strip() == ""  # the tool really left no text
    copy.close()
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert len(warnings) == 1 and layered in warnings[0]
    assert not [r for r in caplog.records if r.levelname == "ERROR"]


def test_tool_failure_names_its_status_and_last_words(tmp_path, monkeypatch, caplog):
    # The refusal the tool gives for a page too large to rasterise, from a
    # stand-in that fails the way the real tool does.
    lines = ["Start processing 1 pages concurrently"] + ["step %d" % i for i in range(8)] + [
        "PIL.Image.DecompressionBombError: Image size (1866240000 pixels) exceeds limit",
        "of 250000000 pixels, could be decompression bomb DOS attack."]
    script = "".join("echo '%s' >&2\n" % line for line in lines) + "exit 15\n"
    monkeypatch.setenv("PATH", write_tool(tmp_path / "failing", script) + os.pathsep + "/usr/bin:/bin")
    page = docs.text_pdf(tmp_path / "huge.pdf", "Gigantic walrus")
    caplog.set_level("DEBUG")
    text = ContentReader.extract_text_from_pdf(page, str(tmp_path))
    assert text == "Gigantic walrus\n"
    errors = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
    assert errors[0] == ("OCR tool failed on %s: exit status 15, standard error ends with:\n"
                         % page + "\n".join(lines[-5:]))
    assert "Fail to process pdf" in errors[1] and len(errors) == 2
    assert "trying new method to extract text from pdf" in caplog.messages


def test_tool_is_found_beside_the_interpreter(tmp_path, monkeypatch, caplog):
    beside = write_tool(tmp_path / "env-bin", 'echo "$@" > "%s"\n' % (tmp_path / "args"))
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    if shutil.which("ocrmypdf"):
        pytest.skip("the OCR tool is installed system-wide")
    monkeypatch.setattr(ContentReader.sys, "executable", os.path.join(beside, "python3"))
    caplog.set_level("DEBUG")
    assert ContentReader.run_ocrmypdf("in.pdf", "out.pdf") is None
    assert (tmp_path / "args").read_text() == "in.pdf out.pdf --force-ocr\n"
    # Not beside it either: the cause says so.
    monkeypatch.setattr(ContentReader.sys, "executable", str(tmp_path / "python3"))
    with pytest.raises(Exception, match="^Fail to process pdf$"):
        ContentReader.run_ocrmypdf("in.pdf", "out.pdf")
    assert caplog.messages[-1] == "OCR tool failed on in.pdf: ocrmypdf not found on PATH"


def test_second_method_errors_name_the_document_and_the_step(tmp_path, monkeypatch, caplog):
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    monkeypatch.setattr(ContentReader.sys, "executable", str(tmp_path / "python3"))
    path = docs.pictures_pdf(tmp_path / "three.pdf", ["One", "Two", "Three"], ["A", "B"])

    def broken_open(stream):
        raise OSError("cannot identify image file")

    monkeypatch.setattr(ContentReader, "Image", types.SimpleNamespace(open=broken_open))
    caplog.set_level("DEBUG")
    with pytest.raises(OSError) as info:
        ContentReader.extract_text_from_pdf(path, str(tmp_path))
    assert str(info.value) == "cannot identify image file"  # type and message kept
    note = ("while extracting the text of %s from its own text layer and pictures: "
            "opening picture 2_0.jpeg on page 3" % path)
    assert info.value.__notes__ == [note]
    if sys.version_info >= (3, 11):  # tracebacks show exception notes from 3.11 on
        assert note in [r.getMessage() for r in caplog.records if r.levelname == "ERROR"][-1]
    missing = str(tmp_path / "missing.pdf")
    with pytest.raises(Exception) as info:
        ContentReader.extract_text_from_pdf(missing, str(tmp_path))
    assert info.value.__notes__ == ["while extracting the text of %s from its own text layer "
                                    "and pictures: opening the document" % missing]


def test_base_path_that_is_not_text_fails_before_anything_runs(tmp_path, monkeypatch, caplog):
    monkeypatch.setattr(ContentReader, "run_ocrmypdf", lambda *a: pytest.fail("tool ran"))
    caplog.set_level("DEBUG")
    with pytest.raises(TypeError):
        ContentReader.extract_text_from_pdf(str(tmp_path / "x.pdf"), tmp_path)
    assert caplog.records == []


class FakeSubprocess:
    def __init__(self, returncode=0, stdout="", stderr="", launch_error=None):
        self.calls = []
        self.result = subprocess.CompletedProcess([], returncode, stdout, stderr)
        self.launch_error = launch_error

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.launch_error:
            raise self.launch_error
        return self.result


def test_tool_gets_an_argument_list_without_shell(monkeypatch, caplog):
    monkeypatch.setenv("PATH", docs.tool_path())
    fake = FakeSubprocess(stdout="done")
    monkeypatch.setattr(ContentReader, "subprocess", fake)
    caplog.set_level("DEBUG")
    assert ContentReader.run_ocrmypdf("a b;c'.pdf", "-out.pdf") is None
    (args, kwargs), = fake.calls
    # A leading "-" would be read as an option; "./" names the same file.
    assert args == (["ocrmypdf", "a b;c'.pdf", "./-out.pdf", "--force-ocr"],)
    assert kwargs == {"capture_output": True, "text": True}
    assert caplog.messages == ["Command executed successfully", "Output:", "done"]


def test_real_tool_takes_names_that_start_with_a_dash(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    docs.text_pdf(tmp_path / "-in.pdf", "Lighthouse keeper")
    ContentReader.run_ocrmypdf("-in.pdf", "-out.pdf")
    with pymupdf.open(str(tmp_path / "-out.pdf")) as out:
        assert "lighthouse" in out[0].get_text().lower()
    assert sorted(os.listdir(tmp_path)) == ["-in.pdf", "-out.pdf"]


def test_tool_failure_logs_standard_error_and_raises(monkeypatch, caplog):
    monkeypatch.setattr(ContentReader, "subprocess", FakeSubprocess(2, "", "bad input"))
    caplog.set_level("DEBUG")
    with pytest.raises(Exception, match="^Fail to process pdf$"):
        ContentReader.run_ocrmypdf(input_pdf="in.pdf", output_pdf="out.pdf")
    assert caplog.messages == ["Command failed", "Error:", "bad input",
                               "OCR tool failed on in.pdf: exit status 2, standard error "
                               "ends with:\nbad input"]
    assert caplog.records[-1].levelname == "ERROR"


def test_tool_that_cannot_be_started_fails_like_a_failed_command(monkeypatch, caplog):
    monkeypatch.setenv("PATH", docs.tool_path())
    missing = FileNotFoundError(2, "No such file or directory", "ocrmypdf")
    monkeypatch.setattr(ContentReader, "subprocess", FakeSubprocess(launch_error=missing))
    caplog.set_level("DEBUG")
    with pytest.raises(Exception, match="^Fail to process pdf$"):
        ContentReader.run_ocrmypdf("in.pdf", "out.pdf")
    assert caplog.messages == ["Command failed", "Error:", str(missing),
                               "OCR tool failed on in.pdf: " + str(missing)]
    # Other errors of the launch are not disguised.
    monkeypatch.setattr(ContentReader, "subprocess", FakeSubprocess(launch_error=ValueError("x")))
    with pytest.raises(ValueError):
        ContentReader.run_ocrmypdf("in.pdf", "out.pdf")


@pytest.mark.parametrize("fmt,suffix", [("PNG", "png"), ("JPEG", "jpg")])
def test_picture_text(tmp_path, fmt, suffix):
    path = docs.save_picture(tmp_path / ("note." + suffix), "Pelican voyage", fmt)
    text = ContentReader.extract_text_from_image(path).lower()
    assert "pelican" in text and "voyage" in text


@pytest.fixture(scope="module")
def video(tmp_path_factory):
    path = tmp_path_factory.mktemp("video") / "clip.mp4"
    return docs.text_video(path, ["Falcon"] * 4 + ["Meadow"] * 4)


def test_video_text_is_every_frame_in_order(video, monkeypatch):
    import cv2
    import pytesseract

    capture = cv2.VideoCapture(video)
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    capture.release()
    expected = "".join(pytesseract.image_to_string(f) for f in frames)

    runs = []
    real_run = pytesseract.pytesseract.run_tesseract
    monkeypatch.setattr(pytesseract.pytesseract, "run_tesseract",
                        lambda *a, **k: (runs.append(1), real_run(*a, **k))[1])
    text = ContentReader.extract_text_from_video(video)
    # Same text as recognising each frame; identical successive frames are
    # recognised once.
    assert text == expected
    distinct = 1 + sum(not (frames[i] == frames[i - 1]).all() for i in range(1, len(frames)))
    assert len(runs) == distinct
    lowered = text.lower()
    assert "falcon" in lowered and "meadow" in lowered
    assert lowered.find("falcon") < lowered.find("meadow")


def test_video_with_replaced_ocr_recognises_every_frame(video, monkeypatch):
    frames = []

    def fake_ocr(frame):
        frames.append(frame.shape)
        return "[%d]" % len(frames)

    monkeypatch.setattr(ContentReader, "pytesseract", types.SimpleNamespace(image_to_string=fake_ocr))
    text = ContentReader.extract_text_from_video(video_path=video)
    assert text == "".join("[%d]" % i for i in range(1, 9))
    assert frames[0] == (112, 520, 3)


def test_video_with_the_library_function_replaced_recognises_every_frame(video, monkeypatch):
    # The module global stays the real pytesseract; only the function in it
    # is replaced, which must be enough to turn the still-frame reuse off.
    import pytesseract
    calls = []
    monkeypatch.setattr(pytesseract, "image_to_string", lambda frame: calls.append(1) or "x")
    assert ContentReader.pytesseract is pytesseract
    assert ContentReader.extract_text_from_video(video_path=video) == "x" * 8
    assert len(calls) == 8


def test_videos_that_are_not_read(tmp_path, monkeypatch):
    assert ContentReader.extract_text_from_video(str(tmp_path / "missing.mp4")) == ""

    class Untouchable:
        def __getattr__(self, name):
            pytest.fail("video opened: " + name)

    monkeypatch.setattr(ContentReader, "cv2", Untouchable())
    assert ContentReader.extract_text_from_video("clip.avi") == ""
    assert ContentReader.extract_text_from_video("CLIP.MP4") == ""
    assert ContentReader.extract_text_from_video("talk.wav") is None


def test_placeholders_return_none(tmp_path):
    csv = tmp_path / "table.csv"
    csv.write_text("a,b\n1,2\n")
    assert ContentReader.extract_text_from_csv(str(csv)) is None
    assert ContentReader.extract_text_from_any(file_path=str(csv)) is None
