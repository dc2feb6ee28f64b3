"""Languages, engine kinds and the document record."""
import joblib
import pytest
from lingua import Language

from wrapper.core.File import File
from wrapper.infra.EngineKind import EngineKind
from wrapper.infra.Tongue import Tongue


def test_tongue_members_and_table():
    import enum

    assert issubclass(Tongue, enum.Enum)
    assert [m.name for m in Tongue] == ["nltk_languages", "ENGLISH", "SPANISH", "PORTUGUESE"]
    assert list(Tongue.nltk_languages.value) == ["pt", "en", "es"]
    assert Tongue.ENGLISH.value == "en" and Tongue("es") is Tongue.SPANISH
    assert str(Tongue.PORTUGUESE) == "Tongue.PORTUGUESE"
    assert [Tongue.get_nltk_language(m) for m in (Tongue.PORTUGUESE, Tongue.ENGLISH, Tongue.SPANISH)] == \
        ["portuguese", "english", "spanish"]
    with pytest.raises(AttributeError):
        Tongue.get_nltk_language(None)


def test_tongue_conversions_and_messages():
    assert Tongue.get_language_from_lingua(Language.PORTUGUESE) is Tongue.PORTUGUESE
    assert Tongue.get_language_from_lingua(Language.ENGLISH) is Tongue.ENGLISH
    assert Tongue.get_language_from_lingua(Language.SPANISH) is Tongue.SPANISH
    with pytest.raises(ValueError) as info:
        Tongue.get_language_from_lingua(Language.GERMAN)
    assert str(info.value) == "Language " + format(Language.GERMAN) + " not supported"
    with pytest.raises(ValueError) as info:
        Tongue.get_language_from_lingua(None)
    assert str(info.value) == "Language None not supported"

    assert Tongue.get_language_from_nltk_language("pt") is Tongue.PORTUGUESE
    for bad in ("portuguese", "PT", ""):
        with pytest.raises(ValueError) as info:
            Tongue.get_language_from_nltk_language(bad)
        assert str(info.value) == "Language " + bad + " not supported"
    for wrong_type in (None, 3, Tongue.ENGLISH, b"pt"):
        with pytest.raises(TypeError):
            Tongue.get_language_from_nltk_language(wrong_type)


def test_engine_kind():
    assert list(EngineKind) == [EngineKind.SB, EngineKind.TD]
    assert EngineKind.TD.value == "TD" and EngineKind("SB") is EngineKind.SB
    assert EngineKind.SB != "SB"
    with pytest.raises(ValueError):
        EngineKind("sb")


def test_joblib_round_trip_keeps_members_by_reference(tmp_path):
    path = tmp_path / "model.pkl"
    joblib.dump({"keys": [Tongue.PORTUGUESE, Tongue.ENGLISH], "kind": EngineKind.TD}, path)
    loaded = joblib.load(path)
    assert loaded["keys"][0] is Tongue.PORTUGUESE and loaded["kind"] is EngineKind.TD


def test_new_record_defaults_and_print(capsys):
    record = File("/data/base", True, Tongue.SPANISH)
    assert capsys.readouterr().out == "/data/base\n"
    assert vars(record) == {"base_path": "/data/base", "translate_to": Tongue.SPANISH,
                            "is_detect_language": True}
    assert record.tokens == [] and record.sentences == [] and record.named_entities == []
    assert record.summary == () and record.ocr is False
    for name in ("id", "text", "extracted_text", "cleaned_text", "text_features", "path",
                 "detected_language"):
        assert getattr(record, name) is None
    assert File.__annotations__["detected_language"] is Tongue
    assert File.__annotations__["id"] is str
    record.set_base_path("/elsewhere")
    assert record.base_path == "/elsewhere"
    assert File("x").translate_to is None and File("x").is_detect_language is False
