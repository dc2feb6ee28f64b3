"""Writes the sample collection used by the demo: PDFs with a text layer, a
scanned PDF (its page is only a picture of text) and pictures of text, in
Portuguese, English and Spanish.

    python examples/make_samples.py [target-dir]   (default: examples/samples)
"""
import io
import os
import sys
import textwrap

import pymupdf as fitz
from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

DOCUMENTS = {
    # name: (kind, text)
    "pt_futebol.pdf": ("pdf", "O campeonato brasileiro de futebol terminou com a vitória do time "
                       "da casa. Os jogadores comemoraram o título no estádio lotado, e o técnico "
                       "elogiou a defesa e o goleiro durante toda a temporada."),
    "pt_economia.pdf": ("scan", "A inflação caiu pelo terceiro mês seguido e o banco central "
                        "reduziu a taxa de juros. Economistas esperam crescimento do emprego e "
                        "do consumo das famílias no próximo ano."),
    "pt_saude.png": ("image", "A campanha de vacinação contra a gripe começa na segunda-feira "
                     "nos postos de saúde. Idosos e crianças têm prioridade no atendimento."),
    "en_space.pdf": ("pdf", "The space telescope captured new images of a distant galaxy. "
                     "Astronomers say the light left those stars billions of years ago, and "
                     "the observations will help explain how planets form around young stars."),
    "en_cooking.png": ("image", "Bake the bread in a hot oven for forty minutes. Mix flour, "
                       "water, salt and yeast, then let the dough rest overnight before baking."),
    "en_ocean.pdf": ("pdf", "Rising ocean temperatures are bleaching coral reefs around the "
                     "world. Marine biologists warn that fish populations depend on healthy "
                     "reefs for food and shelter."),
    "es_playas.pdf": ("pdf", "Las playas del sur recibieron miles de turistas durante el verano. "
                      "Los hoteles registraron ocupación completa y los restaurantes de "
                      "mariscos ampliaron sus horarios."),
    "es_tecnologia.jpg": ("image", "La inteligencia artificial cambia la forma de trabajar en las "
                          "empresas. Los programas aprenden de los datos y ayudan a los "
                          "ingenieros a escribir software."),
    "es_musica.pdf": ("scan", "La orquesta presentó un concierto de guitarra y violín en el "
                      "teatro municipal. El público aplaudió de pie a los músicos al final."),
}


def picture_of_text(text, width=1400, size=40):
    font = ImageFont.truetype(FONT, size)
    lines = textwrap.wrap(text, width=52)
    height = 80 + len(lines) * int(size * 1.5)
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    for i, line in enumerate(lines):
        draw.text((40, 40 + i * int(size * 1.5)), line, font=font, fill="black")
    return image


def write_pdf_with_text(path, text):
    doc = fitz.open()
    page = doc.new_page()
    page.insert_textbox(fitz.Rect(50, 50, 545, 790), text, fontsize=13, fontfile=FONT,
                        fontname="dejavu")
    doc.subset_fonts()
    doc.save(path, garbage=4, deflate=True)
    doc.close()


def write_scanned_pdf(path, text):
    buffer = io.BytesIO()
    picture_of_text(text).convert("L").save(buffer, format="PNG", optimize=True)
    doc = fitz.open()
    page = doc.new_page()
    page.insert_image(fitz.Rect(30, 30, 565, 400), stream=buffer.getvalue())
    doc.save(path, garbage=4, deflate=True)
    doc.close()


def main(target):
    os.makedirs(target, exist_ok=True)
    for name, (kind, text) in DOCUMENTS.items():
        path = os.path.join(target, name)
        if kind == "pdf":
            write_pdf_with_text(path, text)
        elif kind == "scan":
            write_scanned_pdf(path, text)
        else:
            picture_of_text(text).convert("L").save(path)
    print(f"wrote {len(DOCUMENTS)} documents to {target}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "samples"))
