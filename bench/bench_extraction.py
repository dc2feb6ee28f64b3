"""Text extraction and entity costs on this machine.

- PDF: seconds per page through the OCR tool, and through the fallback
  (text layer + OCR of embedded pictures), for pages with a text layer and
  for scanned pages.
- Video: our frame OCR (a frame identical to the one before reuses its
  text) against recognising every frame, on a clip of still scenes.
- Entities: the kept spaCy pipeline against loading it on every call (the
  naive reading), per document, for a tiny entity-ruler pipeline and for a
  pipeline shaped like the small multilingual entity model (tok2vec + ner,
  random weights).

Run: PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_extraction.py
"""
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import cv2  # noqa: E402
import pytesseract  # noqa: E402
import spacy  # noqa: E402

import sample_documents as docs  # noqa: E402
from wrapper.infra import ContentReader, EntityTagger  # noqa: E402

PAGES = 3


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def multi_page_pdf(path, scanned):
    import pymupdf

    doc = pymupdf.open()
    for i in range(PAGES):
        words = "Lighthouse keeper number %d" % (i + 1)
        if scanned:
            page = doc.new_page(width=520, height=120)
            page.insert_image(pymupdf.Rect(10, 10, 510, 96), stream=docs.picture_bytes(words))
        else:
            page = doc.new_page(width=420, height=150)
            page.insert_text((20, 60), words, fontsize=24)
    doc.save(str(path))
    return str(path)


def bench_pdf(work):
    os.environ["PATH"] = docs.tool_path()
    for scanned in (False, True):
        kind = "scanned" if scanned else "text layer"
        pdf = multi_page_pdf(work / ("%s.pdf" % kind.replace(" ", "_")), scanned)
        ocr, text = timed(ContentReader.extract_text_from_pdf, pdf, str(work))
        assert "keeper" in text.lower(), text
        fallback, text2 = timed(ContentReader._extract_text_from_pdf, pdf)
        assert "keeper" in text2.lower(), text2
        print("pdf %-10s (%d pages): OCR tool %.2f s (%.2f s/page), fallback %.3f s "
              "(%.3f s/page), OCR/fallback %.1fx"
              % (kind, PAGES, ocr, ocr / PAGES, fallback, fallback / PAGES, ocr / fallback))


def bench_video(work):
    clip = docs.text_video(work / "clip.mp4", ["Falcon"] * 10 + ["Meadow"] * 10)

    def every_frame(path):
        capture, text = cv2.VideoCapture(path), ""
        while capture.isOpened():
            ok, frame = capture.read()
            if not ok:
                break
            text += pytesseract.image_to_string(frame)
        capture.release()
        return text

    naive, expected = timed(every_frame, clip)
    ours, text = timed(ContentReader.extract_text_from_video, clip)
    assert text == expected
    print("video 20 frames (2 scenes): every frame %.2f s, ours %.2f s, speed-up %.1fx"
          % (naive, ours, naive / ours))


def ner_pipelines(work):
    tiny = work / "tiny"
    tiny.mkdir()
    nlp = spacy.blank("xx")
    nlp.add_pipe("entity_ruler").add_patterns([{"label": "LOC", "pattern": "Lisbon"}])
    nlp.to_disk(tiny / "xx_ent_wiki_sm")
    shaped = work / "shaped"
    shaped.mkdir()
    nlp = spacy.blank("xx")
    ner = nlp.add_pipe("ner")
    for label in ("PER", "LOC", "ORG", "MISC"):
        ner.add_label(label)
    nlp.initialize()
    nlp.to_disk(shaped / "xx_ent_wiki_sm")
    return [("tiny ruler", tiny), ("tok2vec+ner", shaped)]


def bench_entities(work):
    text = "Maria Silva left Lisbon for Porto on Monday. " * 20
    runs = 20
    for name, parent in ner_pipelines(work):
        os.chdir(parent)
        size = sum(f.stat().st_size for f in (parent / "xx_ent_wiki_sm").rglob("*") if f.is_file())

        def naive():
            doc = spacy.load("xx_ent_wiki_sm")(text)
            return [(e.text, e.label_) for e in doc.ents]

        def ours():
            return EntityTagger.extract_named_entities(text)

        assert naive() == ours()
        t_naive = timed(lambda: [naive() for _ in range(runs)])[0] / runs
        t_ours = timed(lambda: [ours() for _ in range(runs)])[0] / runs
        print("entities %-12s (%5.1f MB): load per call %.1f ms/doc, kept %.1f ms/doc, "
              "saves %.1f ms/doc (%.1fx)" % (name, size / 1e6, t_naive * 1e3, t_ours * 1e3,
                                             (t_naive - t_ours) * 1e3, t_naive / t_ours))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        cwd = os.getcwd()
        try:
            bench_pdf(work)
            bench_video(work)
            bench_entities(work)
        finally:
            os.chdir(cwd)


if __name__ == "__main__":
    main()
