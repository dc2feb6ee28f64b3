"""Bad-input cases of the text functions and of the file readers, detectors
and records (groups "text" and "files"), run by bad_input_child.py."""
import os
import re
import unicodedata

from bad_input_child import HUGE, HUGE_BLANK, NUL, SURROGATES, equals, is_str

NOT_FOUND = "not supported"


def py_remove_accents(text):
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))


def py_normalize(text):
    text = re.sub(r"[^\w\s]", "", py_remove_accents(text))
    return re.sub(r"\s+", " ", re.sub(r"\n", " ", text))


class FakeTranslator:
    """No network: `translate` tags the text, `detect` says Portuguese."""

    def __init__(self, service_urls=None):
        self.service_urls = service_urls

    def translate(self, text, dest="en"):
        return type("Translated", (), {"text": f"[{dest}] {text}"})()

    def detect(self, text):
        return type("Detected", (), {"lang": "pt"})()


def is_list_of_str(result):
    return isinstance(result, list) and all(isinstance(x, str) for x in result)


def text_group(ctx):
    from nltk.stem import SnowballStemmer

    from wrapper import infra
    from wrapper.infra import Cleanser, Speller, TongueProbe
    from wrapper.infra.EngineKind import EngineKind
    from wrapper.infra.Tongue import Tongue

    TongueProbe.Translator = FakeTranslator
    en = Tongue.ENGLISH
    case, wrong = ctx.case, ctx.each_wrong_type

    # Cleanser: the native paths against the interpreter's own results.
    for name, function, reference in [
        ("normalize_text", Cleanser.normalize_text, py_normalize),
        ("remove_accents", Cleanser.remove_accents, py_remove_accents),
        ("remove_alphanumeric_character", Cleanser.remove_alphanumeric_character,
         lambda s: re.sub(r"\W+", "", s)),
    ]:
        wrong(name, function)
        for label, text in [("empty", ""), ("10MB", HUGE), ("surrogates", SURROGATES),
                            ("NUL", NUL), ("10MB blank", HUGE_BLANK)]:
            case(f"{name}[{label}]", lambda f=function, t=text: f(t),
                 check=lambda r, t=text, ref=reference: r == ref(t))
    case("normalize_text[bytes, to_lower]",
         lambda: Cleanser.normalize_text(b"ABC", to_lower=True), TypeError)
    case("normalize_text[10MB, to_lower, keep accents]",
         lambda: Cleanser.normalize_text(HUGE, False, True),
         check=lambda r: r == re.sub(r"\s+", " ", re.sub(r"[^\w\s]", "", HUGE.lower())))
    case("lemantization[no stemmer]", lambda: Cleanser.lemantization("word", None),
         AttributeError, match="stem")
    # The stemmer lower-cases the word first.
    case("lemantization[None word]",
         lambda: Cleanser.lemantization(None, SnowballStemmer("english")),
         AttributeError, match="lower")
    wrong("extract_sentences", lambda v: Cleanser.extract_sentences(v, en))
    case("extract_sentences[empty]", lambda: Cleanser.extract_sentences("", en), check=equals([]))
    case("extract_sentences[no language]", lambda: Cleanser.extract_sentences("Hi.", None),
         AttributeError, match="value")
    case("extract_sentences[code for language]",
         lambda: Cleanser.extract_sentences("Hi.", "en"), AttributeError)
    case("extract_sentences[surrogates]", lambda: Cleanser.extract_sentences(SURROGATES, en),
         check=is_list_of_str)
    case("extract_sentences[NUL]", lambda: Cleanser.extract_sentences(NUL, en),
         check=is_list_of_str)
    prepare = Cleanser.preprocess_text_for_stemmetization
    wrong("preprocess_text_for_stemmetization", prepare)
    wrong("preprocess_text_for_stemmetization[English]", lambda v: prepare(v, en))
    no_tokens = "it doesn't have tokens for text: "
    case("preprocess_text_for_stemmetization[empty]", lambda: prepare(""), Exception,
         match=no_tokens)
    case("preprocess_text_for_stemmetization[NUL only]", lambda: prepare("\x00\x00", en),
         Exception, match=no_tokens)
    case("preprocess_text_for_stemmetization[10MB blank, English]",
         lambda: prepare(HUGE_BLANK, en), Exception, match=no_tokens)
    case("preprocess_text_for_stemmetization[10MB]", lambda: prepare(HUGE),
         check=lambda r: r[0] == py_normalize(HUGE).split() and r[1] == " ".join(r[0]))
    case("preprocess_text_for_stemmetization[surrogates, English]",
         lambda: prepare(SURROGATES, en),
         check=lambda r: is_list_of_str(r[0]) and r[1] == " ".join(r[0]))
    case("preprocess_text_for_stemmetization[code for language]",
         lambda: prepare("some text", "en"), AttributeError)
    case("preprocess_text_for_stemmetization[int language]",
         lambda: prepare("some text", 5), AttributeError)
    case("preprocess_text_for_stemmetization[table member as language]",
         lambda: prepare("some text", Tongue.nltk_languages), TypeError)
    wrong("preprocess_text_for_lemantization",
          lambda v: Cleanser.preprocess_text_for_lemantization(v, en))
    case("preprocess_text_for_lemantization[no language]",
         lambda: Cleanser.preprocess_text_for_lemantization("text", None), AttributeError)

    # The enumerations.
    for label, value in [("None", None), ("bytes", b"en"), ("int", 1), ("list", ["en"])]:
        case(f"Tongue.get_language_from_lingua[{label}]",
             lambda v=value: Tongue.get_language_from_lingua(v), ValueError, match=NOT_FOUND)
    wrong("Tongue.get_language_from_nltk_language", Tongue.get_language_from_nltk_language,
          match="must be str")
    for label, value in [("empty", ""), ("10MB", HUGE), ("surrogates", SURROGATES),
                         ("NUL", "e\x00n")]:
        case(f"Tongue.get_language_from_nltk_language[{label}]",
             lambda v=value: Tongue.get_language_from_nltk_language(v), ValueError,
             match=NOT_FOUND)
    for label, value in [("None", None), ("code", "en"), ("int", 5)]:
        case(f"Tongue.get_nltk_language[{label}]",
             lambda v=value: Tongue.get_nltk_language(v), AttributeError)
    case("Tongue.get_nltk_language[table member]",
         lambda: Tongue.get_nltk_language(Tongue.nltk_languages), TypeError)
    case("Tongue[None]", lambda: Tongue(None), ValueError)
    case("EngineKind[lower case]", lambda: EngineKind("sb"), ValueError)
    case("EngineKind[None]", lambda: EngineKind(None), ValueError)

    # Spelling: the emptiness test comes before everything else.
    for label, value in [("None", None), ("int", 42), ("list", ["helo"])]:
        case(f"fix_word[{label}]", lambda v=value: Speller.fix_word(v, en), AttributeError,
             match="strip")
    # The checker decodes bytes words: the same corrections as for the text.
    case("fix_word[bytes]", lambda: Speller.fix_word(b"helo wrld", en),
         check=lambda r: is_str(r)
         and set(r.split()) == set(Speller.fix_word("helo wrld", en).split()))
    case("fix_word[no language]", lambda: Speller.fix_word("helo", None), AttributeError)
    case("fix_word[code for language]", lambda: Speller.fix_word("helo", "en"), AttributeError)
    case("fix_word[empty, no language]", lambda: Speller.fix_word("", None), check=equals(""))
    case("fix_word[10MB blank]", lambda: Speller.fix_word(HUGE_BLANK, en), check=equals(""))
    case("fix_word[surrogates]", lambda: Speller.fix_word(SURROGATES, en), check=is_str)
    case("fix_word[NUL]", lambda: Speller.fix_word(NUL, en), check=is_str)

    # Language detection (the translation service is faked).
    detect = TongueProbe.detect_lang
    wrong("detect_lang", detect)
    case("detect_lang[empty]", lambda: detect(""), ValueError, match="Language None")
    case("detect_lang[surrogates]", lambda: detect(SURROGATES), ValueError)
    case("detect_lang[NUL]", lambda: detect("The weather\x00 is nice today in the city."),
         check=lambda r: r[0] is en and is_list_of_str(r[2]))
    case("detect_lang[code as known language]",
         lambda: detect("The weather is nice.", original_language="en"), AttributeError)
    case("detect_lang[code as target]",
         lambda: detect("The weather is nice.", "pt", en), AttributeError)
    case("detect_lang[10MB blank, known language]",
         lambda: detect(HUGE_BLANK, None, en), check=equals((en, "", [])))
    case("detect_lang[surrogates, translated]",
         lambda: detect(SURROGATES, Tongue.PORTUGUESE, en),
         check=lambda r: r[0] is en and all(s.startswith("[pt] ") for s in r[2]))
    by_service = TongueProbe.detect_lang_by_google_translate
    wrong("detect_lang_by_google_translate", by_service)
    case("detect_lang_by_google_translate[empty]", lambda: by_service(""), Exception,
         match="It doesn't have readable sentences for []")
    case("detect_lang_by_google_translate[surrogates]", lambda: by_service(SURROGATES),
         check=lambda r: r[0] == "pt" and is_str(r[1]))

    # The abstract generator and its summariser and keyword extractor.
    prose = ("O sol brilha sobre a cidade. A cidade acorda cedo. "
             "O mercado abre as portas. As pessoas compram pao e fruta. ") * 3
    for name, function in [("summarize", infra.summarize), ("keywords", infra.keywords),
                           ("generate_abstract", infra.generate_abstract)]:
        wrong(name, function)
    # One sentence summarises to itself, characters kept as given; the
    # abstract's keywords are the extractor's lines for the same text.
    for label, text in [("surrogates", SURROGATES), ("NUL", NUL)]:
        case(f"summarize[{label}]", lambda t=text: infra.summarize(t), check=equals(text))
        case(f"keywords[{label}]", lambda t=text: infra.keywords(t),
             check=lambda r, t=text: is_str(r)
             and all(k in t.lower() for k in r.split("\n") if k))
        case(f"generate_abstract[{label}]", lambda t=text: infra.generate_abstract(t),
             check=lambda r, t=text: r == (infra.keywords(
                 t, words=10, lemmatize=True, language="portuguese").split("\n"), t))
    case("summarize[empty]", lambda: infra.summarize("", split=True), check=equals([]))
    case("keywords[empty]", lambda: infra.keywords(""), check=equals(""))
    case("generate_abstract[empty]", lambda: infra.generate_abstract(""),
         check=equals(([""], "")))
    case("summarize[10MB]", lambda: infra.summarize(HUGE, split=True), check=is_list_of_str)
    case("keywords[10MB]", lambda: infra.keywords(HUGE, words=5, lemmatize=True),
         check=is_str)
    for label, kwargs, raises in [
        ("ratio None", {"ratio": None}, TypeError),
        ("ratio 2", {"ratio": 2}, ValueError),
        ("ratio NaN", {"ratio": float("nan")}, ValueError),
        ("word_count -1", {"word_count": -1}, ValueError),
        ("word_count str", {"word_count": "3"}, TypeError),
        ("word_count 10**30", {"word_count": 10**30}, OverflowError),
        ("language None", {"language": None}, TypeError),
        ("language unknown", {"language": "klingon"}, ValueError),
        ("language surrogates", {"language": SURROGATES}, ValueError),
    ]:
        case(f"summarize[{label}]", lambda k=kwargs: infra.summarize(prose, **k), raises)
    for label, kwargs, raises in [
        ("words -1", {"words": -1}, ValueError),
        ("words float", {"words": 2.5}, TypeError),
        ("language bytes", {"language": b"portuguese"}, TypeError),
    ]:
        case(f"keywords[{label}]", lambda k=kwargs: infra.keywords(prose, **k), raises)
    case("generate_abstract[num_sentences str]",
         lambda: infra.generate_abstract(prose, "3"), TypeError)
    case("generate_abstract[num_sentences None]",
         lambda: infra.generate_abstract(prose, None),
         check=lambda r: isinstance(r, tuple) and is_str(r[1]))


def make_samples(ctx):
    """Good, empty, corrupt and truncated documents of every kind, and
    directories named like documents."""
    import cv2
    import numpy as np
    import pymupdf

    doc = pymupdf.open()
    doc.new_page().insert_text((72, 72), "Hello sample document")
    good_pdf = doc.tobytes()
    doc.close()
    red = np.zeros((48, 64, 3), np.uint8)
    red[:, :, 2] = 255
    ok, png = cv2.imencode(".png", red)
    assert ok
    good_png = png.tobytes()
    video = ctx.path("good.mp4")
    writer = cv2.VideoWriter(video, cv2.VideoWriter_fourcc(*"mp4v"), 5, (64, 48))
    for _ in range(3):
        writer.write(red)
    writer.release()
    with open(video, "rb") as f:
        good_mp4 = f.read()
    samples = {}
    for ext, good in [("pdf", good_pdf), ("png", good_png), ("mp4", good_mp4)]:
        samples[ext] = {
            "good": ctx.write("good." + ext, good),
            "zero": ctx.write("zero." + ext, b""),
            "corrupt": ctx.write("corrupt." + ext, b"\x00\xffnot a document at all\n" * 7),
            "truncated": ctx.write("truncated." + ext, good[: len(good) // 2]),
            "directory": ctx.mkdir("directory." + ext),
            "missing": ctx.path("missing." + ext),
        }
    return samples


def files_group(ctx):
    import contextlib
    import shutil
    from pathlib import Path

    import pymupdf

    import tiny_darknet
    import tiny_ner_model
    from wrapper.core.Image import Image
    from wrapper.core.PDF import PDF
    from wrapper.core.Video import Video
    from wrapper.infra import ClipScanner, ContentReader, EntityTagger, PictureScanner, TongueProbe
    from wrapper.Process import Process

    TongueProbe.Translator = FakeTranslator
    samples = make_samples(ctx)
    good_net = tiny_darknet.write_colour_network(Path(ctx.mkdir("net")))
    PictureScanner.__file__ = str(good_net)
    spacy_home = tiny_ner_model.save_model(Path(ctx.mkdir("spacy")))
    os.chdir(spacy_home)
    case, wrong = ctx.case, ctx.each_wrong_type
    unreadable_pdf = (pymupdf.FileDataError, pymupdf.FileNotFoundError, OSError)

    # PDF text: first the OCR tool, then the document's own text layer.
    base = ctx.mkdir("base")
    wrong("extract_text_from_pdf", lambda v: ContentReader.extract_text_from_pdf(v, base),
          match="pdf_path")
    wrong("_extract_text_from_pdf", ContentReader._extract_text_from_pdf, match="pdf_path")
    for label in ["zero", "corrupt", "directory", "missing"]:
        path = samples["pdf"][label]
        case(f"extract_text_from_pdf[{label}]",
             lambda p=path: ContentReader.extract_text_from_pdf(p, base), unreadable_pdf)
        case(f"_extract_text_from_pdf[{label}]",
             lambda p=path: ContentReader._extract_text_from_pdf(p), unreadable_pdf)
    # PyMuPDF repairs what it can of a cut file: the text of what it repaired.
    case("_extract_text_from_pdf[truncated]",
         lambda: ContentReader._extract_text_from_pdf(samples["pdf"]["truncated"]),
         check=equals(pymupdf_text(samples["pdf"]["truncated"])))
    case("_extract_text_from_pdf[NUL]",
         lambda: ContentReader._extract_text_from_pdf(samples["pdf"]["good"] + "\x00x"),
         ValueError, match="null")
    case("extract_text_from_pdf[NUL]",
         lambda: ContentReader.extract_text_from_pdf(samples["pdf"]["good"] + "\x00x", base),
         ValueError, match="null")
    case("extract_text_from_pdf[base path None]",
         lambda: ContentReader.extract_text_from_pdf(samples["pdf"]["good"], None), TypeError)
    @contextlib.contextmanager
    def no_ocr_tool():
        """Neither on PATH nor beside the interpreter."""
        saved = os.environ.get("PATH"), ContentReader.sys.executable
        os.environ["PATH"] = ctx.mkdir("empty-bin")
        ContentReader.sys.executable = os.path.join(ctx.mkdir("empty-env"), "python3")
        try:
            yield
        finally:
            os.environ["PATH"], ContentReader.sys.executable = saved

    case("extract_text_from_pdf[no OCR tool]",
         lambda: _with(no_ocr_tool(),
                       lambda: ContentReader.extract_text_from_pdf(samples["pdf"]["good"], base)),
         check=lambda r: "Hello sample document" in r)
    case("run_ocrmypdf[no OCR tool]",
         lambda: _with(no_ocr_tool(), lambda: ContentReader.run_ocrmypdf("a.pdf", "b.pdf")),
         Exception, match="Fail to process pdf")
    case("run_ocrmypdf[None]", lambda: ContentReader.run_ocrmypdf(None, None), Exception,
         match="Fail to process pdf")
    case("run_ocrmypdf[NUL]", lambda: ContentReader.run_ocrmypdf("a\x00b.pdf", "out.pdf"),
         ValueError)

    # Pictures and videos.
    for label, value in [("None", None), ("int", 42), ("list", ["x.png"]), ("bytes", b"x.png")]:
        case(f"extract_text_from_image[{label}]",
             lambda v=value: ContentReader.extract_text_from_image(v), TypeError)
    import pytesseract

    # The path goes to the OCR tool as given: it reports every unreadable file.
    for label in ["zero", "corrupt", "truncated", "directory", "missing"]:
        case(f"extract_text_from_image[{label}]",
             lambda p=samples["png"][label]: ContentReader.extract_text_from_image(p),
             pytesseract.TesseractError)
    case("extract_text_from_image[NUL]",
         lambda: ContentReader.extract_text_from_image(samples["png"]["good"] + "\x00x"),
         ValueError)
    wrong("extract_text_from_video", ContentReader.extract_text_from_video, match="video_path")
    for label in ["zero", "corrupt", "truncated", "directory", "missing"]:
        case(f"extract_text_from_video[{label}]",
             lambda p=samples["mp4"][label]: ContentReader.extract_text_from_video(p),
             check=is_str)
    case("extract_text_from_video[NUL]",
         lambda: ContentReader.extract_text_from_video(samples["mp4"]["good"] + "\x00.mp4"),
         ValueError, match="null")
    case("extract_text_from_video[wav of wrong content]",
         lambda: ContentReader.extract_text_from_video(samples["png"]["good"] + ".wav"),
         check=lambda r: r is None)
    for name in ["extract_text_from_any", "extract_text_from_csv"]:
        for label, value in [("None", None), ("directory", base)]:
            case(f"{name}[{label}]", lambda f=getattr(ContentReader, name), v=value: f(v),
                 check=lambda r: r is None)

    # Object detection.
    detect_image = PictureScanner.identify_objects_in_image
    detect_video = ClipScanner.identify_objects_in_video
    wrong("identify_objects_in_image", detect_image, match="image_path")
    wrong("identify_objects_in_video", detect_video, match="video_path")
    case("identify_objects_in_image[missing]",
         lambda: detect_image(samples["png"]["missing"]), FileNotFoundError,
         match=samples["png"]["missing"])
    for label in ["zero", "corrupt", "directory"]:
        case(f"identify_objects_in_image[{label}]",
             lambda p=samples["png"][label]: detect_image(p), ValueError,
             match="Cannot read the picture " + samples["png"][label])
    case("identify_objects_in_image[truncated]",
         lambda: detect_image(samples["png"]["truncated"]), ValueError,
         match="Cannot read the picture " + samples["png"]["truncated"])
    case("identify_objects_in_image[NUL]",
         lambda: detect_image(samples["png"]["good"] + "\x00x"), ValueError, match="null")
    for label in ["zero", "corrupt", "truncated", "directory", "missing"]:
        case(f"identify_objects_in_video[{label}]",
             lambda p=samples["mp4"][label]: detect_video(p), check=is_list)
    case("identify_objects_in_video[NUL]",
         lambda: detect_video(samples["mp4"]["good"] + "\x00x"), ValueError, match="null")

    def network(name, change):
        """A copy of the good network with one file spoilt by `change`."""
        folder = Path(ctx.root / name)
        if not folder.exists():
            shutil.copytree(good_net.parent, folder)
            change(folder / "res")
        return str(folder / good_net.name)

    @contextlib.contextmanager
    def using(module_file):
        PictureScanner.__file__ = module_file
        try:
            yield
        finally:
            PictureScanner.__file__ = str(good_net)

    def truncate(path):
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])

    def replace_with_directory(path):
        path.unlink()
        path.mkdir()

    import cv2
    import numpy as np

    spoilt = {
        "weights empty": lambda res: (res / "yolov3.weights").write_bytes(b""),
        "weights truncated": lambda res: truncate(res / "yolov3.weights"),
        "weights of text": lambda res: (res / "yolov3.weights").write_text("not weights\n"),
        "cfg garbage": lambda res: (res / "yolov3.cfg").write_bytes(b"\x00\xff[net\nwidth=x\n"),
        "cfg holds weights": lambda res: (res / "yolov3.cfg").write_bytes(
            (res / "yolov3.weights").read_bytes()),
        "cfg truncated": lambda res: truncate(res / "yolov3.cfg"),
        "labels a directory": lambda res: replace_with_directory(res / "coco.names"),
        "weights a directory": lambda res: replace_with_directory(res / "yolov3.weights"),
    }
    for n, (label, change) in enumerate(spoilt.items()):
        module_file = network(f"net{n}", change)
        case(f"get_layers[{label}]",
             lambda m=module_file: _with(using(m), PictureScanner.get_layers),
             (cv2.error, OSError, ValueError))
        case(f"identify_objects_in_image[{label}]",
             lambda m=module_file: _with(using(m), lambda: detect_image(samples["png"]["good"])),
             (cv2.error, OSError, ValueError))
        case(f"identify_objects_in_video[{label}]",
             lambda m=module_file: _with(using(m), lambda: detect_video(samples["mp4"]["good"])),
             (cv2.error, OSError, ValueError))
    blue = ctx.write("blue.png", cv2.imencode(".png", np.full((48, 64, 3), (255, 0, 0),
                                                             np.uint8))[1].tobytes())
    case("identify_objects_in_image[fewer labels than classes]",
         lambda: _with(using(network("net-labels", lambda res: (res / "coco.names")
                                     .write_text("red\ngreen\n"))),
                       lambda: detect_image(blue)), IndexError)
    case("identify_objects_in_image[good network after spoilt ones]",
         lambda: detect_image(samples["png"]["good"]), check=lambda r: [x for x, _ in r] == ["red"])

    # Named entities with a tiny pipeline; then a spoilt pipeline.
    tag = EntityTagger.extract_named_entities
    # spaCy refuses what is not text, and reads bytes as a serialised document.
    for label, value in [("None", None), ("int", 42), ("list", ["Lisbon"])]:
        case(f"extract_named_entities[{label}]", lambda v=value: tag(v), ValueError,
             match="Expected a string")
    case("extract_named_entities[bytes]", lambda: tag(b"Lisbon"), ValueError)
    case("extract_named_entities[10MB]", lambda: tag(HUGE), ValueError)
    # spaCy hashes the text as UTF-8: a lone surrogate is a UnicodeEncodeError.
    case("extract_named_entities[surrogates]", lambda: tag(SURROGATES + " Lisbon"),
         UnicodeEncodeError, match="surrogates not allowed")
    case("extract_named_entities[NUL]", lambda: tag("Lis\x00bon ACME"),
         check=equals([("ACME", "ORG")]))

    def spoilt_model(name, change):
        folder = ctx.root / name
        if not folder.exists():
            tiny_ner_model.save_model(folder)
            change(folder / tiny_ner_model.MODEL_NAME)
        return folder

    @contextlib.contextmanager
    def inside(folder):
        os.chdir(folder)
        try:
            yield
        finally:
            os.chdir(spacy_home)

    for n, (label, change) in enumerate({
        "config garbage": lambda m: (m / "config.cfg").write_bytes(b"\x00\xff[nlp\nlang = \n"),
        "config a directory": lambda m: replace_with_directory(m / "config.cfg"),
        "patterns truncated": lambda m: truncate(next((m / "entity_ruler").iterdir())),
        "no model": lambda m: shutil.rmtree(m),
    }.items()):
        folder = spoilt_model(f"spacy{n}", change)
        case(f"extract_named_entities[model {label}]",
             lambda f=folder: _with(inside(f), lambda: tag("Lisbon")),
             (ValueError, OSError, LookupError))
    case("extract_named_entities[good model after spoilt ones]", lambda: tag("Lisbon"),
         check=equals([("Lisbon", "LOC")]))

    # Records and the pipeline front.
    wrong("PDF.create_features", lambda v: PDF(base).create_features(v), match="pdf_path")
    for label in ["zero", "corrupt"]:
        case(f"PDF.create_features[{label}]",
             lambda p=samples["pdf"][label]: PDF(base).create_features(p), unreadable_pdf)
    case("Image.create_features[corrupt]",
         lambda: Image(base).create_features(samples["png"]["corrupt"]),
         pytesseract.TesseractError)
    wrong("Video.create_features", lambda v: Video(base).create_features(v), match="video_path")

    def video_record(path):
        record = Video(base)
        record.create_features(path)
        return record

    case("Video.create_features[corrupt]", lambda: video_record(samples["mp4"]["corrupt"]),
         check=lambda r: r.text is None and r.named_entities is None)
    wrong("File.find_token", lambda v: PDF(base).find_token(v))
    case("File.find_token[code for language]",
         lambda: PDF(base).find_token("text", "pt"), AttributeError)
    wrong("Process", Process)
    case("Process[a file as base]", lambda: Process(samples["pdf"]["good"]), OSError)
    case("Process[NUL]", lambda: Process(ctx.path("a\x00b")), ValueError)
    case("Process[10MB name]", lambda: Process(ctx.path("x" * 10_000_000)), OSError)
    case("Process[str for engine kind]", lambda: Process(base, type="TD"),
         check=lambda p: p.document_search is None)
    wrong("Process.compile", lambda v: Process.compile(base, v))
    # The base is only formatted into the path: any value is accepted.
    wrong("Process.compile[base]", lambda v: Process.compile(v, "x.PDF"), Exception,
          match="Not supported extension for document x.PDF")
    case("Process.compile[upper-case suffix]", lambda: Process.compile(base, "x.PDF"),
         Exception, match="Not supported extension for document x.PDF")
    for label, name in [("zero", "zero.png"), ("directory", "directory.png")]:
        case(f"Process.compile[{label} picture]",
             lambda n=name: Process.compile(ctx.root, n), pytesseract.TesseractError)
    case("Process.compile[corrupt video]", lambda: Process.compile(str(ctx.root), "corrupt.mp4"),
         check=lambda r: r.text is None)
    case("Process.search[no engine]", lambda: Process(base).search("The weather is nice."),
         AttributeError)


def is_list(result):
    return isinstance(result, list)


def pymupdf_text(path):
    import pymupdf

    with pymupdf.open(path) as doc:
        return "".join(page.get_text() for page in doc)


def _with(manager, call):
    with manager:
        return call()


GROUPS = {"text": text_group, "files": files_group}
