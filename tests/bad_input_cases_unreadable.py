"""Bad-input cases of files and directories the process may not read or
write (group "unreadable"), run by bad_input_child.py."""
import os
import shutil

from bad_input_cases_text import _with
from bad_input_child import equals


def unreadable_group(ctx):
    """Files and directories the process may not read or write. Root reads
    everything, so a root child gives up its rights (to nobody's) once the
    files are made; the results file stays open across the change."""
    import contextlib
    import stat
    from pathlib import Path

    import joblib
    import pymupdf
    import pytesseract

    import embedding_models
    import tiny_darknet
    import tiny_ner_model
    import wrapper.core.EmbeddingEncoder as encoder_module
    from bad_input_cases_text import make_samples
    from wrapper.core.EmbeddingFinder import EmbeddingFinder
    from wrapper.core.File import File
    from wrapper.core.FinderBase import FinderBase
    from wrapper.core.TfidfFinder import TfidfFinder
    from wrapper.core.Vectorizer import Vectorizer
    from wrapper.infra import ClipScanner, ContentReader, EntityTagger, PictureScanner
    from wrapper.infra.Tongue import Tongue
    from wrapper.Process import Process

    encoder_module.SentenceTransformer = embedding_models.RecordingLoader()
    case = ctx.case
    os.chmod(ctx.root, 0o755)
    samples = make_samples(ctx)
    good_net = tiny_darknet.write_colour_network(Path(ctx.mkdir("net")))
    PictureScanner.__file__ = str(good_net)

    def record(doc_id, text):
        r = File(ctx.root)
        r.id, r.text, r.cleaned_text, r.detected_language = doc_id, text, text, Tongue.PORTUGUESE
        return r

    def closed(path):
        os.chmod(path, 0)
        return path

    def read_only(path):
        os.chmod(path, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IXGRP
                 | stat.S_IROTH | stat.S_IXOTH)
        return path

    def stamp(path):
        st = os.stat(path)
        return st.st_size, st.st_mtime_ns, st.st_ino

    unreadable = {ext: closed(ctx.write("unreadable." + ext, open(samples[ext]["good"], "rb")
                                        .read())) for ext in ("pdf", "png", "mp4")}
    locked = read_only(ctx.mkdir("locked"))

    td_closed = ctx.mkdir("td-closed")
    TfidfFinder(td_closed).train_model(record("a", "governo economia juros"))
    closed(os.path.join(td_closed, "td_model.pkl"))
    td_locked = ctx.mkdir("td-locked")
    TfidfFinder(td_locked).train_model(record("a", "governo economia juros"))
    read_only(td_locked)
    sb_closed = ctx.mkdir("sb-closed")
    EmbeddingFinder(sb_closed).train_model(record("a", "governo economia juros"))
    closed(os.path.join(sb_closed, "sb_model.pkl"))
    vec_closed = ctx.mkdir("vec-closed")
    Vectorizer(vec_closed, "m").save_model([1, 2])
    closed(os.path.join(vec_closed, "m"))
    debug_locked = ctx.mkdir("debug-locked")
    FinderBase().save_debug_json({}, os.path.join(debug_locked, "d.json"))
    read_only(debug_locked)
    spacy_closed = tiny_ner_model.save_model(Path(ctx.mkdir("spacy-closed")))
    closed(spacy_closed / tiny_ner_model.MODEL_NAME / "config.cfg")
    net_closed = Path(ctx.root / "net-closed")
    shutil.copytree(good_net.parent, net_closed)
    closed(net_closed / "res" / "yolov3.weights")
    labels_closed = Path(ctx.root / "labels-closed")
    shutil.copytree(good_net.parent, labels_closed)
    closed(labels_closed / "res" / "coco.names")

    if os.geteuid() == 0:
        # The interpreter's own library may lie where nobody cannot read:
        # load what the cases import lazily while it still can.
        import encodings.raw_unicode_escape  # noqa: F401
        import encodings.unicode_escape  # noqa: F401

        ContentReader._extract_text_from_pdf(samples["pdf"]["good"])
        PictureScanner.identify_objects_in_image(samples["png"]["good"])
        os.setgid(65534)
        os.setuid(65534)
    os.chdir(ctx.root)

    def unchanged(call, *paths):
        """`call` fails and leaves the files as they were."""
        before = [stamp(p) for p in paths]
        try:
            return call()
        finally:
            assert [stamp(p) for p in paths] == before, "a model file changed"

    pdf_errors = (pymupdf.FileDataError, pymupdf.FileNotFoundError, OSError)
    case("_extract_text_from_pdf[unreadable]",
         lambda: ContentReader._extract_text_from_pdf(unreadable["pdf"]), pdf_errors)
    case("extract_text_from_pdf[unreadable, unwritable base]",
         lambda: ContentReader.extract_text_from_pdf(unreadable["pdf"], locked), pdf_errors)
    case("extract_text_from_pdf[unwritable base]",
         lambda: ContentReader.extract_text_from_pdf(samples["pdf"]["good"], locked),
         check=lambda r: "Hello sample document" in r)
    case("extract_text_from_image[unreadable]",
         lambda: ContentReader.extract_text_from_image(unreadable["png"]),
         pytesseract.TesseractError)
    case("identify_objects_in_image[unreadable]",
         lambda: PictureScanner.identify_objects_in_image(unreadable["png"]), ValueError,
         match="Cannot read the picture " + unreadable["png"])
    case("extract_text_from_video[unreadable]",
         lambda: ContentReader.extract_text_from_video(unreadable["mp4"]), check=equals(""))
    case("identify_objects_in_video[unreadable]",
         lambda: ClipScanner.identify_objects_in_video(unreadable["mp4"]), check=equals([]))
    case("Process.compile[unreadable picture]",
         lambda: Process.compile(str(ctx.root), "unreadable.png"), pytesseract.TesseractError)

    @contextlib.contextmanager
    def module_file(path):
        PictureScanner.__file__ = str(path)
        try:
            yield
        finally:
            PictureScanner.__file__ = str(good_net)

    import cv2

    for label, folder in [("weights", net_closed), ("labels", labels_closed)]:
        case(f"get_layers[{label} unreadable]",
             lambda f=folder: _with(module_file(f / good_net.name), PictureScanner.get_layers),
             (cv2.error, OSError))

    @contextlib.contextmanager
    def inside(folder):
        os.chdir(folder)
        try:
            yield
        finally:
            os.chdir(ctx.root)

    case("extract_named_entities[model unreadable]",
         lambda: _with(inside(spacy_closed), lambda: EntityTagger.extract_named_entities("x")),
         (OSError, ValueError))

    td_model = os.path.join(td_closed, "td_model.pkl")
    case("TfidfFinder.train_model[model unreadable]",
         lambda: unchanged(lambda: TfidfFinder(td_closed).train_model(record("b", "casa")),
                           td_model), PermissionError)
    case("TfidfFinder.search_documents[model unreadable]",
         lambda: unchanged(lambda: TfidfFinder(td_closed).search_documents("juros", "pt"),
                           td_model), PermissionError)
    locked_files = [os.path.join(td_locked, n) for n in ("td_model.pkl", "debug_td_model.json")]

    def train_locked():
        engine = TfidfFinder(td_locked)
        try:
            engine.train_model(record("b", "casa nova"))
        finally:
            assert engine.document_names == ["a"], engine.document_names
            assert engine.search_documents("governo", "pt")[1][0]["name"] == "a"

    case("TfidfFinder.train_model[model directory read-only]",
         lambda: unchanged(train_locked, *locked_files), PermissionError)
    case("EmbeddingFinder[model unreadable]",
         lambda: unchanged(lambda: EmbeddingFinder(sb_closed),
                           os.path.join(sb_closed, "sb_model.pkl")), PermissionError)
    case("EmbeddingFinder[directory read-only]", lambda: EmbeddingFinder(locked),
         PermissionError)

    def vectorizer_load():
        v = Vectorizer(vec_closed, "m")
        try:
            v.load_model()
        finally:
            assert v.model is None

    case("Vectorizer.load_model[model unreadable]", vectorizer_load, PermissionError)
    case("Vectorizer.save_model[directory read-only]",
         lambda: Vectorizer(locked, "m").save_model([1]), PermissionError)
    case("save_debug_json[directory read-only]",
         lambda: unchanged(lambda: FinderBase().save_debug_json(
             {}, os.path.join(debug_locked, "d.json")), os.path.join(debug_locked, "d.json")),
         PermissionError)
    case("Process[directory read-only]", lambda: Process(os.path.join(locked, "base")),
         PermissionError)
    # The files above are closed to this process (whoever started it).
    case("joblib.load[model file closed]", lambda: joblib.load(td_model), PermissionError)


GROUPS = {"unreadable": unreadable_group}
