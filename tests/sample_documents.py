"""Small real documents for the extraction tests: PDFs, pictures and a video
whose text the real OCR tools can read. One short line of big text each,
so that OCR stays quick."""

import io
import os
import sys
from contextlib import contextmanager

import cv2
import numpy as np
import pymupdf
from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def tool_path():
    """PATH with the interpreter's own bin directory (where the OCR tool is
    installed) in front."""
    bin_dir = os.path.dirname(sys.executable)
    return bin_dir + os.pathsep + os.environ.get("PATH", "")


def picture(text, size=None):
    """A white picture with `text` in black, as a Pillow image (wide enough
    for the text unless `size` is given)."""
    font = ImageFont.truetype(FONT, 48)
    if size is None:
        size = (int(font.getlength(text)) + 32, 112)
    image = Image.new("RGB", size, "white")
    ImageDraw.Draw(image).text((16, 20), text, fill="black", font=font)
    return image


def picture_bytes(text, fmt="PNG", size=None):
    buffer = io.BytesIO()
    picture(text, size).save(buffer, fmt)
    return buffer.getvalue()


def save_picture(path, text, fmt):
    picture(text).save(path, fmt)
    return str(path)


def text_pdf(path, visible, hidden=None):
    """One page with a text layer; `hidden` is drawn invisibly (in the text
    layer, not on the rendered page)."""
    doc = pymupdf.open()
    page = doc.new_page(width=420, height=150)
    page.insert_text((20, 60), visible, fontsize=28)
    if hidden:
        page.insert_text((20, 120), hidden, fontsize=28, render_mode=3)
    doc.save(str(path))
    doc.close()
    return str(path)


def scanned_pdf(path, text):
    """One page that is only a picture of `text` (no text layer)."""
    doc = pymupdf.open()
    page = doc.new_page(width=420, height=120)
    page.insert_image(pymupdf.Rect(10, 10, 410, 96), stream=picture_bytes(text))
    doc.save(str(path))
    doc.close()
    return str(path)


def pictures_pdf(path, page_words, picture_words):
    """One text page per entry of `page_words`; the last page also carries
    one JPEG picture per entry of `picture_words`, top to bottom."""
    doc = pymupdf.open()
    for i, words in enumerate(page_words):
        page = doc.new_page(width=420, height=120 + 100 * len(picture_words))
        page.insert_text((20, 50), words, fontsize=24)
        if i == len(page_words) - 1:
            for j, text in enumerate(picture_words):
                top = 80 + 100 * j
                page.insert_image(pymupdf.Rect(10, top, 410, top + 86),
                                  stream=picture_bytes(text, "JPEG"))
    doc.save(str(path))
    doc.close()
    return str(path)


def blank_pdf(path):
    doc = pymupdf.open()
    doc.new_page(width=200, height=100)
    doc.save(str(path))
    doc.close()
    return str(path)


def text_video(path, frame_words, fps=2):
    """An MP4 whose frames show the given words, one entry per frame."""
    size = (520, 112)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), fps, size)
    assert writer.isOpened()
    for words in frame_words:
        writer.write(cv2.cvtColor(np.array(picture(words, size)), cv2.COLOR_RGB2BGR))
    writer.release()
    return str(path)


@contextmanager
def root_log_records(level="DEBUG"):
    """Collects (level name, message) of every record reaching the root
    logger, for fixtures wider than pytest's caplog."""
    import logging

    records = []

    class Collector(logging.Handler):
        def emit(self, record):
            records.append((record.levelname, record.getMessage()))

    root = logging.getLogger()
    handler = Collector(level)
    old_level = root.level
    root.addHandler(handler)
    root.setLevel(level)
    try:
        yield records
    finally:
        root.removeHandler(handler)
        root.setLevel(old_level)


def messages(records, level=None):
    return [m for lvl, m in records if level is None or lvl == level]
