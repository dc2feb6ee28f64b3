"""Language detection, sentence preparation and translation (the service is
faked through the module's `Translator`; no network)."""
import logging
import re
import types

import pytest
from lingua import Language

from conftest import needs_nltk_data
from wrapper.infra import TongueProbe
from wrapper.infra.Tongue import Tongue


class FakeTranslator:
    """Stands in for the service client; async like the real one."""

    instances = []

    def __init__(self, service_urls=None):
        self.service_urls = service_urls
        self.translated = []
        self.detected = []
        FakeTranslator.instances.append(self)

    async def translate(self, text, dest):
        self.translated.append((text, dest))
        return types.SimpleNamespace(text=f"<{dest}>{text}")

    async def detect(self, text):
        self.detected.append(text)
        return types.SimpleNamespace(lang="pt")


@pytest.fixture
def translator(monkeypatch):
    FakeTranslator.instances = []
    monkeypatch.setattr(TongueProbe, "Translator", FakeTranslator)
    return FakeTranslator


@needs_nltk_data
def test_known_language_skips_detection_and_keeps_normalised_sentences(translator, caplog):
    caplog.set_level(logging.DEBUG)
    text = "Olá, mundo!  O Dr. Silva chegou.\n\n!!! Ele saiu."
    language, joined, sentences = TongueProbe.detect_lang(text, None, Tongue.PORTUGUESE)
    assert language is Tongue.PORTUGUESE
    from nltk.tokenize import sent_tokenize

    expected = [re.sub(r"\s+", " ", re.sub(r"[^\w\s]", "", t.strip()))
                for t in sent_tokenize(text, "portuguese") if t.strip()]
    assert sentences == expected
    assert sentences[:2] == ["Olá mundo", "O Dr Silva chegou"] and "" in sentences
    assert joined == " ".join(expected)
    assert not any(r.getMessage().startswith("result: ") for r in caplog.records)
    assert translator.instances == []


@needs_nltk_data
def test_detection_and_translation_drop_empty_sentences(translator, caplog):
    caplog.set_level(logging.DEBUG)
    text = "O governo anunciou hoje um novo programa de habitação para as famílias. !!! " \
           "A oposição criticou o plano."
    language, joined, sentences = TongueProbe.detect_lang(text, Tongue.ENGLISH, fix_text=True)
    assert language is Tongue.PORTUGUESE
    fake = translator.instances[0]
    assert len(fake.service_urls) == 2
    assert [t for t, _ in fake.translated] == [
        "O governo anunciou hoje um novo programa de habitação para as famílias",
        "A oposição criticou o plano"]
    assert all(dest == "en" for _, dest in fake.translated)
    assert sentences == ["<en>" + t for t, _ in fake.translated]
    assert joined == " ".join(sentences)
    messages = [r.getMessage() for r in caplog.records]
    assert "result: Language.PORTUGUESE" in messages
    assert "detected language: pt" in messages
    assert "Translating text to en" in messages
    assert "Detected Text Language Tongue.PORTUGUESE. Will be translated to Tongue.ENGLISH" in messages
    assert messages[-1] == "Translated text: \n " + joined


@needs_nltk_data
def test_same_target_language_means_no_translation(translator, caplog):
    caplog.set_level(logging.DEBUG)
    result = TongueProbe.detect_lang("The cat sat on the mat.", Tongue.ENGLISH, Tongue.ENGLISH)
    assert result == (Tongue.ENGLISH, "The cat sat on the mat", ["The cat sat on the mat"])
    assert translator.instances == []
    assert not any("Translating" in r.getMessage() for r in caplog.records)


@needs_nltk_data
def test_unsupported_or_undecided_language_raises(translator):
    with pytest.raises(ValueError) as info:
        TongueProbe.detect_lang("Le gouvernement a annoncé aujourd'hui un nouveau programme "
                                "de logement pour les familles.")
    assert str(info.value) == "Language Language.FRENCH not supported"
    with pytest.raises(ValueError):
        TongueProbe.detect_lang("   ")  # nothing to decide on
    assert TongueProbe.detect_lang("   ", None, Tongue.SPANISH) == (Tongue.SPANISH, "", [])


@needs_nltk_data
def test_translation_failures(monkeypatch, caplog):
    class Raising(FakeTranslator):
        async def translate(self, text, dest):
            raise RuntimeError("service down")

    class Empty(FakeTranslator):
        async def translate(self, text, dest):
            return types.SimpleNamespace(text="")

    monkeypatch.setattr(TongueProbe, "Translator", Raising)
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang("Uma frase.", Tongue.ENGLISH, Tongue.PORTUGUESE)
    assert str(info.value) == "Error to translate Uma frase to Tongue.ENGLISH"
    assert (caplog.records[-1].levelno, caplog.records[-1].getMessage()) == (
        logging.ERROR, "Error to translate Uma frase to Tongue.ENGLISH")
    monkeypatch.setattr(TongueProbe, "Translator", Empty)
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang("Uma frase.", Tongue.ENGLISH, Tongue.PORTUGUESE)
    assert str(info.value) == "Translate Uma frase to Tongue.ENGLISH error"

    class NotText(FakeTranslator):  # a result whose text is no str
        async def translate(self, text, dest):
            return types.SimpleNamespace(text=len(text))

    monkeypatch.setattr(TongueProbe, "Translator", NotText)
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang("Uma frase. Outra frase.", Tongue.ENGLISH, Tongue.PORTUGUESE)
    assert type(info.value) is Exception
    assert str(info.value) == "Error to concatenate text [9, 11]"


@needs_nltk_data
def test_fix_text_changes_nothing(translator):
    text = "O time venceu o campeonato. Os torcedores comemoraram!"
    plain = TongueProbe.detect_lang(text, Tongue.ENGLISH)
    for value in (True, False, "sim", 0, [1]):
        assert TongueProbe.detect_lang(text, Tongue.ENGLISH, fix_text=value) == plain


def test_synchronous_translator_results_are_used_as_they_are(monkeypatch):
    class Sync(FakeTranslator):
        def translate(self, text, dest):
            return types.SimpleNamespace(text=text.upper())

    monkeypatch.setattr(TongueProbe, "Translator", Sync)
    monkeypatch.setattr(TongueProbe.Cleanser, "extract_sentences", lambda t, l: [t])
    assert TongueProbe.detect_lang("abc", Tongue.ENGLISH, Tongue.PORTUGUESE)[1] == "ABC"


# ---- detection through the service -----------------------------------------

@pytest.fixture
def no_pause(monkeypatch):
    pauses = []
    monkeypatch.setattr(TongueProbe, "time", types.SimpleNamespace(sleep=pauses.append))
    return pauses


def service(monkeypatch, answers, translate=None):
    """A fake client answering detections from `answers` (a code, an
    exception to raise, or a callable)."""
    calls = {"detect": [], "translate": []}

    class Fake:
        def __init__(self, service_urls=None):
            self.service_urls = service_urls

        async def detect(self, text):
            calls["detect"].append(text)
            answer = answers(text) if callable(answers) else answers
            if isinstance(answer, Exception):
                raise answer
            return types.SimpleNamespace(lang=answer)

        async def translate(self, text, dest):
            calls["translate"].append((text, dest))
            if translate is not None:
                return translate(text, dest)
            return types.SimpleNamespace(text=text.upper())

    monkeypatch.setattr(TongueProbe, "Translator", Fake)
    return calls


def test_service_detection_single_fragment_and_translation(monkeypatch, no_pause):
    calls = service(monkeypatch, "pt")
    assert TongueProbe.detect_lang_by_google_translate("Olá, mundo.\nTudo bem?", "en") == \
        ("pt", "OLÁ MUNDO TUDO BEM")
    assert calls["detect"] == ["Olá mundo Tudo bem"]
    assert TongueProbe.detect_lang_by_google_translate("Olá, mundo.", "pt") == ("pt", "Olá mundo")
    assert no_pause == []


def test_service_detection_retries_then_names_the_fragment(monkeypatch, no_pause, caplog):
    caplog.set_level(logging.DEBUG)
    calls = service(monkeypatch, RuntimeError("timeout"))
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("Bom dia")
    assert str(info.value) == ("Error to detect language for sentence Bom dia from sentences "
                               "['Bom dia']. Detected object None")
    assert len(calls["detect"]) == 4 and no_pause == [0.5] * 4
    messages = [r.getMessage() for r in caplog.records]
    assert [m for m in messages if m.startswith("retrying")] == [
        "retrying. Left 3", "retrying. Left 2", "retrying. Left 1", "retrying. Left 0"]
    tracebacks = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert len(tracebacks) == 4 and "RuntimeError: timeout" in tracebacks[0].getMessage()


def test_service_detection_recovers_after_a_failed_attempt(monkeypatch, no_pause):
    answers = iter([RuntimeError("once"), "es"])
    service(monkeypatch, lambda text: next(answers))
    assert TongueProbe.detect_lang_by_google_translate("Hola") == ("es", "Hola")
    assert no_pause == [0.5]


def test_service_detection_without_readable_fragments(monkeypatch, no_pause):
    calls = service(monkeypatch, "pt")
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("!!! ...")
    assert str(info.value) == "It doesn't have readable sentences for []."
    assert calls["detect"] == []
    service(monkeypatch, "")
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("Bom dia")
    assert str(info.value) == "It doesn't have readable sentences for ['Bom dia']."


def several_fragments(monkeypatch, fragments):
    # Normalisation removes full stops, so several fragments only arise
    # from a normaliser that keeps them.
    monkeypatch.setattr(TongueProbe.Cleanser, "normalize_text",
                        lambda text, remove_all_accents=True, to_lower=None: ".".join(fragments))


def test_majority_rule(monkeypatch, no_pause, caplog):
    several_fragments(monkeypatch, ["a1", "b1", "a2", "b2"])
    service(monkeypatch, lambda text: {"a": "pt", "b": "es"}[text[0]])
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("x")
    assert str(info.value) == "Language not detected"
    assert caplog.records[-1].getMessage() == "Language not detected"

    several_fragments(monkeypatch, ["b1", "a1", "a2", "a3"])
    assert TongueProbe.detect_lang_by_google_translate("x") == ("pt", "b1 a1 a2 a3")

    # equal counts below a majority cannot win; a tie among a majority
    # cannot happen, so the first met wins only when it holds more than half
    several_fragments(monkeypatch, ["b1", "a1", "b2"])
    assert TongueProbe.detect_lang_by_google_translate("x")[0] == "es"


def test_detection_budget_counts_characters(monkeypatch, no_pause):
    fragment = "x" * 1500
    several_fragments(monkeypatch, [fragment] * 5)
    calls = service(monkeypatch, "en")
    code, text = TongueProbe.detect_lang_by_google_translate("x", "pt")
    # 1500, 3000, 4500 > 4000: the third crosses the line and is still
    # examined, the fourth is not
    assert len(calls["detect"]) == 3
    # translation is not bounded by the budget
    assert len(calls["translate"]) == 5 and code == "en"

    # exactly 4000 characters checked is not over the budget: one more
    several_fragments(monkeypatch, ["x" * 2000] * 4)
    calls = service(monkeypatch, "en")
    TongueProbe.detect_lang_by_google_translate("x")
    assert len(calls["detect"]) == 3


def test_service_translation_failures(monkeypatch, no_pause):
    def boom(text, dest):
        raise RuntimeError("no")

    service(monkeypatch, "pt", translate=boom)
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("Bom dia", "en")
    assert str(info.value) == "Error to translate Bom dia to en"
    service(monkeypatch, "pt", translate=lambda t, d: None)
    with pytest.raises(Exception) as info:
        TongueProbe.detect_lang_by_google_translate("Bom dia", "en")
    assert str(info.value) == "Translate Bom dia to en error"
