"""Memory stays flat over many calls of each main operation.

For every operation: run it N times to warm caches and allocator pools, record the resident set size and the number
of live Python objects, run it N times (default 10,000), record again. A
reference leak in a binding shows up as growth proportional to N; the
report prints both figures per operation.

    PYTHONPATH=... python bench/leak_check.py [N]
    PYTHONPATH=... python bench/leak_check.py --open-vocabulary   # that one alone
"""
import gc
import os
import sys
import tempfile
import types

N = int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1].isdigit() else 10_000


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure(name, op, n=N, rounds=3):
    """Growth per round of n calls, after a first round that fills caches
    and allocator pools. A leak grows in every round; a one-time
    allocation shows only in the first."""
    for _ in range(n):
        op()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before_rss, before_objects = rss_kib(), len(gc.get_objects())
        for _ in range(n):
            op()
        gc.collect()
        growth.append((rss_kib() - before_rss, len(gc.get_objects()) - before_objects))
    rounds_text = "  ".join(f"{rss:+6d} KiB/{objects:+d} obj" for rss, objects in growth)
    print(f"{name:48s} n={n:6d}  {rounds_text}", flush=True)
    return max(rss for rss, _ in growth[1:]), max(objects for _, objects in growth[1:])


def text_ops():
    from wrapper.infra import Cleanser
    from wrapper.infra.Tongue import Tongue

    text = "Olá, Mundo! A inflação caiu pelo terceiro mês seguido.\nTeste"
    yield "Cleanser.normalize_text", lambda: Cleanser.normalize_text(text, True, True)
    yield "Cleanser.remove_accents", lambda: Cleanser.remove_accents(text)
    yield "Cleanser.preprocess_text_for_stemmetization(pt)", \
        lambda: Cleanser.preprocess_text_for_stemmetization(text, Tongue.PORTUGUESE)

    def failing():
        try:
            Cleanser.preprocess_text_for_stemmetization("!!!", Tongue.ENGLISH)
        except Exception:
            pass
    yield "Cleanser.preprocess (raising)", failing

    def bad_arguments():
        try:
            Cleanser.normalize_text(None, nonsense=1)
        except TypeError:
            pass
    yield "argument error path", bad_arguments


def detection_ops():
    from wrapper.infra import TongueProbe
    from wrapper.infra.Tongue import Tongue

    yield "TongueProbe.detect_lang (known language)", \
        lambda: TongueProbe.detect_lang("O gato subiu no telhado. Ele desceu.", None, Tongue.PORTUGUESE)


def engine_ops(tmp):
    from wrapper.core.File import File
    from wrapper.core.TfidfFinder import TfidfFinder
    from wrapper.infra.Tongue import Tongue

    import contextlib
    import io

    finder = TfidfFinder(os.path.join(tmp, "td"))
    os.makedirs(os.path.join(tmp, "td"), exist_ok=True)
    words = "governo economia inflacao juros futebol campeonato saude vacina escola".split()
    with contextlib.redirect_stdout(io.StringIO()):
        for i in range(50):
            record = File(tmp)
            record.id = f"doc{i}"
            record.text = record.cleaned_text = " ".join(words[(i + k) % len(words)] for k in range(6))
            record.detected_language = Tongue.PORTUGUESE
            finder.train_model(record)
    yield "TfidfFinder.search_documents", \
        lambda: finder.search_documents("inflacao juros", "pt", 1, 5)
    yield "TfidfFinder.search_documents (typo)", \
        lambda: finder.search_documents("inflaçao jurros", Tongue.PORTUGUESE, 2, 3)

    from wrapper.core.FinderBase import FinderBase

    debug = os.path.join(tmp, "debug.json")
    yield "FinderBase.save_debug_json", lambda: FinderBase().save_debug_json({"a": [1, 2]}, debug)

    with contextlib.redirect_stdout(io.StringIO()):
        record = File(tmp)
    record.tokens = ["inflaca", "jur", "futebol"]
    yield "File.find_token", lambda: record.find_token("os juros do futebol", Tongue.PORTUGUESE)

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "tests"))
    import wrapper.core.EmbeddingEncoder as encoder_module
    from embedding_models import RecordingLoader
    from wrapper.core.EmbeddingFinder import EmbeddingFinder

    encoder_module.SentenceTransformer = RecordingLoader()
    os.makedirs(os.path.join(tmp, "sb"))
    sb = EmbeddingFinder(os.path.join(tmp, "sb"))
    with contextlib.redirect_stdout(io.StringIO()):
        for i in range(50):
            doc = File(tmp)
            doc.id = f"doc{i}"
            doc.text = " ".join(words[(i + k) % len(words)] for k in range(6))
            doc.detected_language = Tongue.PORTUGUESE
            sb.train_model(doc)
    yield "EmbeddingFinder.search_documents", lambda: sb.search_documents("juros futebol", "main", 1, 5)


def enrichment_ops():
    import wrapper.infra as infra

    text = " ".join(f"A economia do país cresceu {i} por cento no trimestre." for i in range(30))
    yield "infra.generate_abstract", lambda: infra.generate_abstract(text)

def open_vocabulary(tmp, iterations=20_000, warmup=1_000, n=100):
    """One TF-IDF engine replacing documents of a fixed collection with
    texts of words never seen before, and searching after each: what the
    engine keeps must follow the words the documents hold now, not every
    word it ever saw."""
    import random

    from wrapper.core.TfidfFinder import TfidfFinder
    from wrapper.infra import Cleanser
    from wrapper.infra.Tongue import Tongue

    real = Cleanser.preprocess_text_for_stemmetization
    Cleanser.preprocess_text_for_stemmetization = lambda text, language=None: real(text, None)
    rng = random.Random(5)
    base = os.path.join(tmp, "open")
    os.makedirs(base)
    fresh = iter(range(10**9))

    def text():
        common = " ".join(rng.choice(["casa", "dados", "modelo", "busca"]) for _ in range(5))
        return common + " " + " ".join(f"w{next(fresh):x}q" for _ in range(20))

    def record(doc_id):
        return types.SimpleNamespace(id=doc_id, text="x", cleaned_text=text(),
                                     detected_language=Tongue.PORTUGUESE)

    engine = TfidfFinder(base)
    engine.train_models([record(f"d{k}") for k in range(n)])

    def step(k):
        doc_id = f"d{rng.randrange(n)}"
        engine.document_names.remove(doc_id)  # lets this engine train it again
        engine.train_model(record(doc_id))
        engine.search_documents("casa modelo w1q", "pt")

    for k in range(warmup):
        step(k)
    gc.collect()
    before, objects = rss_kib(), len(gc.get_objects())
    for k in range(warmup, iterations):
        step(k)
    gc.collect()
    growth = rss_kib() - before
    print(f"{'TF-IDF replace + search, open vocabulary':48s} iterations {warmup}..{iterations}: "
          f"{growth:+d} KiB, {len(gc.get_objects()) - objects:+d} objects "
          f"({next(fresh)} distinct words trained)", flush=True)
    Cleanser.preprocess_text_for_stemmetization = real
    return growth


def main():
    tmp = tempfile.mkdtemp(prefix="leak-check-")
    if "--open-vocabulary" in sys.argv:
        open_vocabulary(tmp)
        return
    worst = 0
    for source in (text_ops(), detection_ops(), engine_ops(tmp), enrichment_ops()):
        try:
            for name, op in source:
                growth, _ = measure(name, op)
                worst = max(worst, growth)
        except ImportError as error:
            print(f"(skipped: {error})")
    print(f"largest steady-state RSS growth (rounds 2-3): {worst} KiB per {N} calls")
    open_vocabulary(tmp)


if __name__ == "__main__":
    main()
