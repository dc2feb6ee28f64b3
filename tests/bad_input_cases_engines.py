"""Bad-input cases of the search engines, the vectorizers, their model files
and the debug file (group "engines"), run by bad_input_child.py."""
import os
import pickle
import shutil

from bad_input_child import HUGE, HUGE_BLANK, NUL, SURROGATES, digest, equals, is_str

# What reading a damaged or foreign model file raises: the file system's
# own error, or a ValueError that names the file.
DAMAGED = (ValueError, OSError)


def spoilt_files(good_bytes, joblib):
    """Model-file contents that are not a good model of the engine."""

    def dumped(value):
        import io

        buffer = io.BytesIO()
        joblib.dump(value, buffer)
        return buffer.getvalue()

    class_of_missing_module = (b"\x80\x04\x95\x1d\x00\x00\x00\x00\x00\x00\x00\x8c\x0e"
                               b"no_such_module\x94\x8c\x05Thing\x94\x93\x94.")
    return {
        "empty file": b"",
        "truncated": good_bytes[: len(good_bytes) // 2],
        "garbage": b"\x00\x01garbage, not a pickle\xff" * 20,
        "int": dumped(5),
        "list": dumped([1, 2]),
        "str": dumped("matrix vectorizer document_names"),
        "missing class": class_of_missing_module,
    }


def engines_group(ctx):
    import joblib

    import embedding_models
    import wrapper.core.EmbeddingEncoder as encoder_module
    from bad_input_cases_text import FakeTranslator
    from wrapper.core.EmbeddingEncoder import EmbeddingEncoder
    from wrapper.core.EmbeddingFinder import EmbeddingFinder
    from wrapper.core.File import File
    from wrapper.core.FinderBase import FinderBase
    from wrapper.core.TfidfFinder import TfidfFinder
    from wrapper.core.Vectorizer import Vectorizer
    from wrapper.infra import TongueProbe
    from wrapper.infra.Tongue import Tongue
    from wrapper.Process import Process

    TongueProbe.Translator = FakeTranslator
    encoder_module.SentenceTransformer = embedding_models.RecordingLoader()
    case, wrong = ctx.case, ctx.each_wrong_type
    a_file = ctx.write("a-file", b"not a directory")

    def record(doc_id, text, cleaned=None, language=Tongue.PORTUGUESE):
        r = File(ctx.root)
        r.id, r.text, r.detected_language = doc_id, text, language
        r.cleaned_text = text if cleaned is None else cleaned
        return r

    texts = {"a": "governo economia inflacao juros", "b": "futebol campeonato gol juros",
             "c": "saude vacina escola governo"}

    # ---- TF-IDF: a good model, then files that are not one -------------------
    good_td = ctx.mkdir("td-good")
    engine = TfidfFinder(good_td)
    for k, t in texts.items():
        engine.train_model(record(k, t))
    td_file = engine.model_filename
    td_bytes = open(td_file, "rb").read()
    wrong("TfidfFinder", TfidfFinder)
    case("TfidfFinder.train_model[NUL in directory]",
         lambda: TfidfFinder(ctx.path("td\x00x")).train_model(record("a", "casa nova")),
         ValueError)

    def td_dir(name, content):
        folder = ctx.mkdir("td-" + name)
        shutil.copy(os.path.join(good_td, "debug_td_model.json"), folder)
        if isinstance(content, bytes):
            ctx.write(os.path.join(folder, "td_model.pkl"), content)
        else:
            joblib.dump(content, os.path.join(folder, "td_model.pkl"))
        return folder

    good_parts = joblib.load(td_file)
    td_variants = spoilt_files(td_bytes, joblib)
    td_variants.update({
        "key missing": {k: v for k, v in good_parts.items() if k != "cleaned_text"},
        "names not a list": {**good_parts, "document_names": 5},
        "languages not a dict": {**good_parts, "detected_languages": ["a", "b", "c"]},
        "texts not a dict": {**good_parts, "cleaned_text": "a b c"},
    })
    for label, content in td_variants.items():
        folder = td_dir(label.replace(" ", "-"), content)

        def train(folder=folder):
            files = [os.path.join(folder, n) for n in ("td_model.pkl", "debug_td_model.json")]
            ctx.keep(*files)
            TfidfFinder(folder).train_model(record("d", "novo documento sobre juros"))

        def search(folder=folder):
            ctx.keep(os.path.join(folder, "td_model.pkl"))
            return TfidfFinder(folder).search_documents("juros", "pt")

        case(f"TfidfFinder.train_model[model file {label}]", train, DAMAGED, match="td_model")
        case(f"TfidfFinder.search_documents[model file {label}]", search, DAMAGED,
             match="td_model")
    directory_model = ctx.mkdir("td-directory/td_model.pkl")
    case("TfidfFinder.train_model[model file a directory]",
         lambda: TfidfFinder(os.path.dirname(directory_model)).train_model(record("d", "x y")),
         IsADirectoryError)
    case("Process.search[TF-IDF model file garbage]",
         lambda: _pipeline_search(ctx, Process, td_variants["garbage"], Tongue.PORTUGUESE),
         DAMAGED, match="td_model")

    def failed_training(change, expected_names=("a", "b", "c", "e")):
        """A document that fails to train leaves the files as they were and
        the engine able to train the next one."""

        def run():
            folder = ctx.mkdir("td-fail-" + str(len(os.listdir(ctx.root))))
            for name in os.listdir(good_td):
                shutil.copy(os.path.join(good_td, name), folder)
            files = [os.path.join(folder, n) for n in os.listdir(folder)]
            before = [digest(p) for p in files]
            fresh = TfidfFinder(folder)
            bad = record("d", "documento")
            change(bad)
            try:
                fresh.train_model(bad)
            finally:
                assert [digest(p) for p in files] == before, "a failed training changed a file"
                fresh.train_model(record("e", "economia estavel"))
                assert fresh.document_names == list(expected_names), fresh.document_names
                assert TfidfFinder(folder).load_model()

        return run

    for label, change, raises in [
        ("cleaned text None", lambda r: setattr(r, "cleaned_text", None), (AttributeError,
                                                                              TypeError)),
        ("cleaned text int", lambda r: setattr(r, "cleaned_text", 42), (AttributeError,
                                                                         TypeError)),
        ("unhashable id", lambda r: setattr(r, "id", ["d"]), TypeError),
        ("language without code", lambda r: setattr(r, "detected_language", object()),
         AttributeError),
        ("language not picklable", lambda r: setattr(r, "detected_language", lambda: 0),
         (AttributeError, pickle.PicklingError, TypeError)),
    ]:
        case(f"TfidfFinder.train_model[{label}]", failed_training(change), raises)
    case("TfidfFinder.train_model[no term in any text]",
         lambda: TfidfFinder(ctx.mkdir("td-empty")).train_model(record("x", "a b !")),
         ValueError, match="empty vocabulary")
    for label, value in [("None", None), ("str", "a document"), ("int", 5)]:
        case(f"TfidfFinder.train_model[record {label}]",
             lambda v=value: TfidfFinder(good_td).train_model(v),
             AttributeError, check=lambda r: r is None)

    def trained_alone(doc_id, text):
        folder = ctx.mkdir("td-" + str(len(os.listdir(ctx.root))))
        TfidfFinder(folder).train_model(record(doc_id, text))
        again = TfidfFinder(folder)
        again.load_model()
        return again.document_names == [doc_id] and again.cleaned_text == {doc_id: text}

    case("TfidfFinder.train_model[10MB text]", lambda: trained_alone("huge", HUGE),
         check=equals(True))
    case("TfidfFinder.train_model[surrogates]",
         lambda: trained_alone("id" + SURROGATES, SURROGATES), check=equals(True))
    case("TfidfFinder.train_model[NUL]", lambda: trained_alone("id\x00", NUL),
         check=equals(True))

    search = TfidfFinder(good_td).search_documents
    is_page = lambda r: isinstance(r, tuple) and is_str(r[0]) and isinstance(r[1], list)  # noqa
    for label, kwargs, outcome in [
        ("query None", {"search_query": None}, TypeError),
        ("query bytes", {"search_query": b"juros"}, TypeError),
        ("query int", {"search_query": 42}, TypeError),
        ("query 10MB blank", {"search_query": HUGE_BLANK}, Exception),
        ("query surrogates", {"search_query": SURROGATES}, is_page),
        ("query NUL", {"search_query": "ju\x00ros governo"}, is_page),
        ("language unknown code", {"detected_search_language": "xx"}, ValueError),
        ("language int", {"detected_search_language": 5}, AttributeError),
        ("page None", {"page": None}, TypeError),
        ("page str", {"page": "2"}, TypeError),
        ("page float", {"page": 1.5}, TypeError),
        ("page 10**30", {"page": 10**30}, lambda r: r[1] == []),
        ("results_per_page None", {"results_per_page": None}, TypeError),
        ("results_per_page -3", {"results_per_page": -3}, is_page),
        ("cutoff 2", {"cutoff_for_fix_query": 2}, ValueError),
        ("cutoff NaN", {"cutoff_for_fix_query": float("nan")}, ValueError),
        ("cutoff None", {"cutoff_for_fix_query": None}, TypeError),
        ("cutoff str", {"cutoff_for_fix_query": "0.5"}, TypeError),
    ]:
        arguments = {"search_query": "juros governo", "detected_search_language": "pt",
                     **kwargs}
        if isinstance(outcome, type):
            case(f"TfidfFinder.search_documents[{label}]",
                 lambda k=arguments: search(**k), outcome)
        else:
            case(f"TfidfFinder.search_documents[{label}]",
                 lambda k=arguments: search(**k), check=outcome)

    correct = TfidfFinder(good_td).correct_query
    vocabulary = list(engine.tfidf_vectorizer.get_feature_names_out())
    wrong("TfidfFinder.correct_query", lambda v: correct(v, vocabulary))
    for label, corpus in [("None", None), ("int", 5), ("None among terms", ["juros", None])]:
        case(f"TfidfFinder.correct_query[corpus {label}]",
             lambda c=corpus: correct("jurso", c), TypeError)
    case("TfidfFinder.correct_query[bytes terms]", lambda: correct("jurso", [b"juros"]),
         check=equals("jurso"))
    case("TfidfFinder.correct_query[cutoff str]", lambda: correct("jurso", vocabulary, "x"),
         TypeError)
    case("TfidfFinder.correct_query[cutoff 1.5]", lambda: correct("jurso", vocabulary, 1.5),
         ValueError)
    long_word = "x" * 10_000_000
    case("TfidfFinder.correct_query[10MB word]", lambda: correct(long_word, vocabulary),
         check=lambda r: r == long_word)
    case("TfidfFinder.correct_query[surrogates]", lambda: correct(SURROGATES, vocabulary),
         check=equals("caf na o e fim"))
    case("TfidfFinder.correct_query[NUL]", lambda: correct("jurso\x00governa", vocabulary),
         check=equals("juros governo"))

    # ---- Embeddings: a good index, then files that are not one ---------------
    good_sb = ctx.mkdir("sb-good")
    index = EmbeddingFinder(good_sb)
    for k, t in texts.items():
        index.train_model(record(k, t))
    sb_file = index.model_filename
    sb_parts = joblib.load(sb_file)
    sb_variants = spoilt_files(open(sb_file, "rb").read(), joblib)
    sb_variants.update({
        "key missing": {k: v for k, v in sb_parts.items() if k != "document_names"},
        "names not a dict": {**sb_parts, "document_names": ["a", "b"]},
        "models not a dict": {**sb_parts, "multilang_models": 5},
    })
    wrong("EmbeddingFinder", EmbeddingFinder)
    case("EmbeddingFinder[NUL in directory]", lambda: EmbeddingFinder(ctx.path("sb\x00x")),
         ValueError)
    case("EmbeddingFinder[a file as directory]", lambda: EmbeddingFinder(a_file), OSError)
    case("EmbeddingFinder[missing directory]",
         lambda: EmbeddingFinder(ctx.path("no/such/dir")), FileNotFoundError)
    for label, content in sb_variants.items():
        folder = ctx.mkdir("sb-" + label.replace(" ", "-"))
        ctx.write(os.path.join(folder, "sb_model.pkl"), content) if isinstance(content, bytes) \
            else joblib.dump(content, os.path.join(folder, "sb_model.pkl"))

        def construct(folder=folder):
            ctx.keep(os.path.join(folder, "sb_model.pkl"))
            return EmbeddingFinder(folder)

        case(f"EmbeddingFinder[model file {label}]", construct, DAMAGED, match="sb_model")

    def failed_embedding(change, raises_ok=True):
        def run():
            folder = ctx.mkdir("sb-fail-" + str(len(os.listdir(ctx.root))))
            for name in os.listdir(good_sb):
                if os.path.isfile(os.path.join(good_sb, name)):
                    shutil.copy(os.path.join(good_sb, name), folder)
            shutil.copytree(os.path.join(good_sb, "sentence-transformers"),
                            os.path.join(folder, "sentence-transformers"))
            ctx.keep(os.path.join(folder, "sb_model.pkl"))
            fresh = EmbeddingFinder(folder)
            bad = record("d", "documento")
            change(bad)
            fresh.train_model(bad)

        return run

    for label, change in [
        ("text bytes", lambda r: setattr(r, "text", b"bytes text")),
        ("text int", lambda r: setattr(r, "text", 42)),
    ]:
        case(f"EmbeddingFinder.train_model[{label}]", failed_embedding(change),
             (TypeError, AttributeError, ValueError))
    case("EmbeddingFinder.train_model[record str]",
         lambda: EmbeddingFinder(good_sb).train_model("a document"), AttributeError)
    sb_search = EmbeddingFinder(good_sb).search_documents
    for label, kwargs, outcome in [
        ("query None", {"query": None}, (TypeError, AttributeError)),
        ("query bytes", {"query": b"juros"}, (TypeError, AttributeError)),
        ("query NUL", {"query": "ju\x00ros governo"}, lambda r: isinstance(r[1], list)),
        ("page None", {"page": None}, TypeError),
        ("page str", {"page": "x"}, TypeError),
        ("page 10**30", {"page": 10**30}, lambda r: r[1] == []),
        ("results_per_page None", {"results_per_page": None}, TypeError),
    ]:
        arguments = {"query": "juros governo", **kwargs}
        if isinstance(outcome, (type, tuple)):
            case(f"EmbeddingFinder.search_documents[{label}]",
                 lambda k=arguments: sb_search(**k), outcome)
        else:
            case(f"EmbeddingFinder.search_documents[{label}]",
                 lambda k=arguments: sb_search(**k), check=outcome)
    per_language = EmbeddingFinder(ctx.mkdir("sb-languages"), True).search_documents
    case("EmbeddingFinder.search_documents[language int]", lambda: per_language("q", 5),
         Exception, match="without model or documents for language 5")
    case("EmbeddingFinder.search_documents[language list]",
         lambda: per_language("q", ["en"]), TypeError)
    case("EmbeddingFinder.search_documents[language surrogates]",
         lambda: per_language("q", SURROGATES), Exception, match="without model")

    # ---- Vectorizers ---------------------------------------------------------
    wrong("EmbeddingEncoder", EmbeddingEncoder)
    for label, value in [("bytes", b"org/model"), ("int", 42), ("list", ["org/model"])]:
        case(f"EmbeddingEncoder[corpus_name {label}]",
             lambda v=value: EmbeddingEncoder(ctx.mkdir("enc"), corpus_name=v), TypeError)
    case("EmbeddingEncoder[a file as directory]", lambda: EmbeddingEncoder(a_file), OSError)
    encoder_dir = ctx.mkdir("enc-good")
    good_encoder = EmbeddingEncoder(encoder_dir)
    for label, content in spoilt_files(open(good_encoder.model_filename, "rb").read(),
                                       joblib).items():
        if label in ("int", "list", "str"):
            continue  # a foreign object is loaded as the model: described
        folder = ctx.mkdir("enc-" + label.replace(" ", "-"))
        path = ctx.write(os.path.join(folder, embedding_models.MINILM), content)

        def construct(folder=folder, path=path):
            ctx.keep(path)
            return EmbeddingEncoder(folder)

        case(f"EmbeddingEncoder[model file {label}]", construct, DAMAGED)

    def failing_loader(identifier):
        raise OSError("no model called " + identifier)

    def without_model():
        encoder_module.SentenceTransformer = failing_loader
        folder = ctx.mkdir("enc-unloadable")
        try:
            EmbeddingEncoder(folder)
        finally:
            encoder_module.SentenceTransformer = embedding_models.RecordingLoader()
            assert not os.path.exists(os.path.join(folder, embedding_models.MINILM))

    case("EmbeddingEncoder[loader fails]", without_model, OSError, match="no model called")
    case("EmbeddingEncoder.encode[None]", lambda: good_encoder.encode(None),
         (TypeError, AttributeError))
    wrong("Vectorizer[path]", lambda v: Vectorizer(v, "model"))
    wrong("Vectorizer[corpus_name]", lambda v: Vectorizer(ctx.mkdir("vec"), v))
    case("Vectorizer[a file as directory]", lambda: Vectorizer(a_file, "m"), OSError)
    case("Vectorizer.save_model[NUL name]",
         lambda: Vectorizer(ctx.mkdir("vec"), "a\x00b").save_model([1]), ValueError)
    vec_dir = ctx.mkdir("vec-good")
    Vectorizer(vec_dir, "model").save_model({"weights": [1.0, 2.0]})
    vec_file = os.path.join(vec_dir, "model")
    for label, content in spoilt_files(open(vec_file, "rb").read(), joblib).items():
        if label in ("int", "list", "str"):
            continue  # any object is a model to this base class
        folder = ctx.mkdir("vec-" + label.replace(" ", "-"))
        path = ctx.write(os.path.join(folder, "model"), content)

        def load(folder=folder, path=path):
            ctx.keep(path)
            v = Vectorizer(folder, "model")
            try:
                v.load_model()
            finally:
                assert v.model is None

        case(f"Vectorizer.load_model[model file {label}]", load, DAMAGED)

    def unpicklable_save():
        ctx.keep(vec_file)
        Vectorizer(vec_dir, "model").save_model(lambda: 0)

    case("Vectorizer.save_model[unpicklable]", unpicklable_save,
         (pickle.PicklingError, AttributeError, TypeError))

    # ---- The debug file -------------------------------------------------------
    base = FinderBase()
    debug = ctx.write("debug.json", b'{"kept": true}')
    for label, value in [("None", None), ("list", [1]), ("str", "text")]:
        case(f"save_debug_json[dc {label}]", lambda v=value: base.save_debug_json(v, debug),
             TypeError)

    def unserialisable():
        ctx.keep(debug)
        base.save_debug_json({"x": object()}, debug)

    case("save_debug_json[dc not serialisable]", unserialisable, TypeError)
    for label, value in [("None", None), ("int", 42), ("list", [debug])]:
        case(f"save_debug_json[path {label}]", lambda v=value: base.save_debug_json({}, v),
             TypeError)
    bytes_path = os.fsencode(ctx.path("bytes-debug.json"))
    case("save_debug_json[path bytes]", lambda: base.save_debug_json({}, bytes_path),
         check=lambda r: r is None and os.path.exists(bytes_path))
    case("save_debug_json[path a directory]",
         lambda: base.save_debug_json({}, ctx.mkdir("debug-dir")), IsADirectoryError)
    case("save_debug_json[path in missing directory]",
         lambda: base.save_debug_json({}, ctx.path("no/such/debug.json")), FileNotFoundError)
    case("save_debug_json[path NUL]", lambda: base.save_debug_json({}, ctx.path("a\x00b")),
         ValueError)
    case("save_debug_json[path 10MB]",
         lambda: base.save_debug_json({}, ctx.path("d" * 10_000_000)), OSError)
    case("save_debug_json[path surrogates]",
         lambda: base.save_debug_json({}, ctx.path("deb\udcffug.json")),
         check=lambda r: os.path.exists(ctx.path("deb\udcffug.json")))


def _pipeline_search(ctx, process, garbage, language):
    folder = ctx.mkdir("td-pipeline")
    path = ctx.write(os.path.join(folder, "models", "td_model.pkl"), garbage)
    ctx.keep(path)
    return process.create_batch_pipeline(folder).search("juros governo", language)


GROUPS = {"engines": engines_group}
