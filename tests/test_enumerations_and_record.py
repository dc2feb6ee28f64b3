"""Languages and engine kinds: conversions, messages, pickling."""
import joblib
import pytest
from lingua import Language

from wrapper.infra.EngineKind import EngineKind
from wrapper.infra.Tongue import Tongue


def test_each_language_converts_through_every_code_and_back():
    # The conversions read three tables (codes, NLTK names, lingua members):
    # one language out of step in any of them breaks the round trip.
    languages = [m for m in Tongue if m is not Tongue.nltk_languages]
    assert {m.value for m in languages} == set(Tongue.nltk_languages.value)
    for member in languages:
        name = Tongue.get_nltk_language(member)
        assert Tongue(member.value) is member
        assert Tongue.get_language_from_nltk_language(member.value) is member
        assert Tongue.get_language_from_lingua(getattr(Language, name.upper())) is member


def test_tongue_conversions_and_messages():
    with pytest.raises(ValueError) as info:
        Tongue.get_language_from_lingua(Language.GERMAN)
    assert str(info.value) == "Language " + format(Language.GERMAN) + " not supported"
    with pytest.raises(ValueError) as info:
        Tongue.get_language_from_lingua(None)
    assert str(info.value) == "Language None not supported"

    for bad in ("portuguese", "PT", ""):
        with pytest.raises(ValueError) as info:
            Tongue.get_language_from_nltk_language(bad)
        assert str(info.value) == "Language " + bad + " not supported"
    for wrong_type in (None, 3, Tongue.ENGLISH, b"pt"):
        with pytest.raises(TypeError):
            Tongue.get_language_from_nltk_language(wrong_type)


def test_joblib_round_trip_keeps_members_by_reference(tmp_path):
    path = tmp_path / "model.pkl"
    joblib.dump({"keys": [Tongue.PORTUGUESE, Tongue.ENGLISH], "kind": EngineKind.TD}, path)
    loaded = joblib.load(path)
    assert loaded["keys"][0] is Tongue.PORTUGUESE and loaded["kind"] is EngineKind.TD
