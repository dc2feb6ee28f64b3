"""wrapper.infra.generate_abstract and the native summariser and keyword
extractor it calls."""

from __future__ import annotations

import inspect
import re
import subprocess
import sys

import pytest

import wrapper.infra as infra

PARAGRAPHS = [
    ["O governo federal apresentou nesta segunda-feira a proposta de reforma tributária ao Congresso Nacional.",
     "A reforma tributária pretende simplificar a cobrança de impostos sobre o consumo em todo o país.",
     "Segundo o Ministério da Fazenda, a proposta unifica cinco tributos em um imposto sobre valor agregado.",
     "O ministro afirmou que a reforma tributária vai reduzir a burocracia enfrentada pelas empresas."],
    ["Economistas ouvidos pela reportagem avaliam que a mudança pode aumentar a arrecadação no longo prazo.",
     "Os governadores temem perder receita com a nova divisão dos impostos entre estados e municípios.",
     "O texto prevê um fundo de compensação para os estados durante a transição.",
     "A transição entre os dois sistemas de impostos deve durar sete anos."],
    ["O time da capital venceu o clássico de domingo por dois gols a zero.",
     "Choveu forte no litoral paulista durante toda a madrugada de sábado.",
     "A previsão do tempo indica sol e temperaturas altas para o fim de semana."],
    ["Empresários pedem regras claras para a transição e segurança jurídica nos contratos.",
     "A Confederação Nacional da Indústria apoia a reforma tributária, mas pede ajustes na alíquota.",
     "Para os prefeitos, a reforma tributária precisa garantir a autonomia dos municípios.",
     "O relator da proposta na Câmara dos Deputados, Dr. Almeida, promete apresentar o parecer até o fim do mês.",
     "A votação da reforma tributária no plenário deve ocorrer antes do recesso parlamentar.",
     "Os líderes dos partidos da base aliada dizem ter votos suficientes para aprovar o texto.",
     "A oposição critica a alíquota prevista e pede mais debate sobre os impostos.",
     "O Senado também deve analisar a proposta ainda neste ano.",
     "Especialistas lembram que o país discute a reforma tributária há mais de três décadas.\n"
     "Na última rodada de negociações, o governo aceitou reduzir a alíquota para serviços de saúde e educação.",
     "As novas regras dos impostos só valem depois da aprovação de leis complementares.",
     "O mercado financeiro reagiu bem ao anúncio da reforma tributária."],
]
NEWS = "\n\n".join(" ".join(p) for p in PARAGRAPHS) + "\n"
SENTENCES = [s for p in PARAGRAPHS for part in p for s in part.split("\n")]
OFF_TOPIC = ("clássico", "Choveu", "previsão do tempo")


def flat(text):
    return re.sub(r"\s+", " ", text).strip()


def test_abstract_holds_the_requested_sentences_of_the_text():
    assert infra.summarize(NEWS, ratio=1.0, split=True) == SENTENCES
    keywords_list, abstract = infra.generate_abstract(NEWS)
    summary = infra.summarize(NEWS, ratio=0.2, split=True)
    assert len(SENTENCES) == 23 and len(summary) == 4
    assert abstract == " ".join(summary[:3])
    assert all(s in SENTENCES for s in summary)
    assert not any(word in abstract for word in OFF_TOPIC)
    # The summary keeps the text's order.
    positions = [SENTENCES.index(s) for s in summary]
    assert positions == sorted(positions)
    assert infra.generate_abstract(NEWS, 4)[1] == " ".join(summary)
    assert infra.generate_abstract(NEWS, num_sentences=9)[1] == " ".join(summary)
    assert infra.generate_abstract(NEWS, -1)[1] == " ".join(summary[:-1])
    assert infra.generate_abstract(NEWS, 0)[1] == ""


def test_keywords_are_few_non_empty_and_from_the_text():
    keywords_list, _ = infra.generate_abstract(NEWS)
    assert 1 <= len(keywords_list) <= 10
    lowered = flat(NEWS).lower()
    for keyword in keywords_list:
        assert keyword and keyword in lowered
    assert keywords_list[0] == "reforma tributária"
    assert "impostos" in keywords_list  # "imposto" and "impostos" counted together
    assert "imposto" not in keywords_list


def test_keyword_and_summary_shapes():
    text = infra.keywords(NEWS, words=4, lemmatize=True)
    assert isinstance(text, str) and len(text.split("\n")) <= 4
    assert infra.keywords(NEWS, words=4, lemmatize=True, split=True) == text.split("\n")
    scored = infra.keywords(NEWS, words=4, lemmatize=True, scores=True)
    assert [w for w, _ in scored] == text.split("\n")
    assert all(isinstance(s, float) for _, s in scored)
    assert [s for _, s in scored] == sorted((s for _, s in scored), reverse=True)
    joined = infra.summarize(NEWS)
    assert joined.split("\n") == infra.summarize(NEWS, split=True)
    assert infra.keywords("") == "" and infra.summarize("", split=True) == []


def test_word_budget_replaces_the_ratio():
    summary = infra.summarize(NEWS, word_count=30, split=True)
    words = sum(len(s.split()) for s in summary)
    assert 1 <= len(summary) < 4 and words <= 45
    assert infra.summarize(NEWS, word_count=0, split=True) == []


def test_other_languages_are_accepted():
    text = ("The city council approved the new budget on Monday. The budget raises "
            "spending on schools. Critics say the budget ignores public transport. "
            "It rained all day in the city.")
    assert len(infra.summarize(text, ratio=0.5, split=True, language="english")) == 2
    assert "budget" in infra.keywords(text, words=3, language="english", split=True)
    assert infra.keywords("El presupuesto nuevo. El presupuesto aprobado.", words=1,
                          language="spanish") == "presupuesto"


def test_bad_arguments_raise_clear_errors():
    with pytest.raises(TypeError, match="text must be str"):
        infra.summarize(b"bytes")
    with pytest.raises(ValueError, match="ratio must be between 0 and 1"):
        infra.summarize(NEWS, ratio=1.5)
    with pytest.raises(ValueError, match="Unsupported language 'klingon'"):
        infra.keywords(NEWS, language="klingon")
    with pytest.raises(ValueError, match="words must not be negative"):
        infra.keywords(NEWS, words=-1)
    with pytest.raises(TypeError):
        infra.summarize(NEWS, word_count=2.5)
    with pytest.raises(TypeError, match="generate_abstract\\(\\) missing 1 required"):
        infra.generate_abstract()


def test_signatures():
    assert str(inspect.signature(infra.generate_abstract)) == "(text, num_sentences=3)"
    assert str(inspect.signature(infra.summarize)) == (
        "(text, ratio=0.2, word_count=None, split=False, language='portuguese')")
    assert str(inspect.signature(infra.keywords)) == (
        "(text, ratio=0.2, words=None, split=False, scores=False, lemmatize=False, "
        "language='portuguese')")


def test_abstract_calls_the_module_functions_with_fixed_settings(monkeypatch):
    calls = []

    def keywords(text, **kwargs):
        calls.append(("keywords", text, kwargs))
        return "alpha"

    def summarize(text, **kwargs):
        calls.append(("summarize", text, kwargs))
        return ["s1.", "s2.", "s3.", "s4.", "s5."]

    monkeypatch.setattr(infra, "keywords", keywords)
    monkeypatch.setattr(infra, "summarize", summarize)
    assert infra.generate_abstract("texto") == (["alpha"], "s1. s2. s3.")
    assert calls == [
        ("keywords", "texto", {"words": 10, "lemmatize": True, "language": "portuguese"}),
        ("summarize", "texto", {"ratio": 0.2, "word_count": None, "split": True,
                                "language": "portuguese"}),
    ]
    monkeypatch.setattr(infra, "keywords", lambda text, **kw: "")
    assert infra.generate_abstract("texto")[0] == [""]


def test_keyword_failure_means_no_summary(monkeypatch):
    called = []

    def failing(text, **kwargs):
        raise RuntimeError("extractor broke")

    monkeypatch.setattr(infra, "keywords", failing)
    monkeypatch.setattr(infra, "summarize", lambda *a, **k: called.append(1))
    with pytest.raises(RuntimeError, match="extractor broke"):
        infra.generate_abstract(NEWS)
    assert called == []


def test_package_import_stays_light():
    code = ("import sys, wrapper.infra; "
            "heavy = {'numpy', 'cv2', 'nltk', 'spacy', 'torch'} & set(sys.modules); "
            "print(sorted(heavy))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "[]"
