"""TfidfFinder.correct_query against the standard library: every result is
compared with difflib.get_close_matches(word, corpus, n=1, cutoff) on the
words of re.findall(r"\\w+", query), the way the engine is described."""
import difflib
import random
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from wrapper.core import TfidfFinder as module
from wrapper.core.TfidfFinder import TfidfFinder


def reference(query, corpus, cutoff):
    words = []
    for word in re.findall(r"\w+", query):
        match = difflib.get_close_matches(word, corpus, n=1, cutoff=cutoff)
        words.append(match[0] if match else word)
    return " ".join(words)


@pytest.fixture(scope="module")
def engine(tmp_path_factory):
    return TfidfFinder(str(tmp_path_factory.mktemp("models")))


def mutate(rng, word, alphabet):
    word = list(word)
    for _ in range(rng.randint(0, 3)):
        kind = rng.randrange(3)
        pos = rng.randint(0, len(word))
        if kind == 0:
            word.insert(pos, rng.choice(alphabet))
        elif word and kind == 1:
            del word[pos % len(word)]
        elif word:
            word[pos % len(word)] = rng.choice(alphabet)
    return "".join(word)


ALPHABETS = ["ab", "abcdeio", "açãõéíúo_1", "αβγδ中文😀e"]


def random_case(rng):
    alphabet = rng.choice(ALPHABETS)
    long_words = rng.random() < 0.02
    lo, hi = (190, 260) if long_words else (1, 10)
    vocab = ["".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))
             for _ in range(rng.randint(0, 5 if long_words else 15))]
    # Near copies of terms make equal ratios (ties) and near misses common.
    vocab += [mutate(rng, rng.choice(vocab), alphabet) for _ in range(3 if long_words else 5)
              if vocab]
    words = []
    for _ in range(rng.randint(0, 4)):
        if vocab and rng.random() < 0.7:
            words.append(mutate(rng, rng.choice(vocab), alphabet))
        else:
            words.append("".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi))))
    separators = [" ", "  ", "!", " - ", ",\n"]
    query = "".join(w + rng.choice(separators) for w in words)
    cutoff = rng.choice([0.6, 0.9, 1.0, 0.0, 0.75, 0.5])
    return query, vocab, cutoff


def test_ten_thousand_random_cases_equal_difflib(engine):
    rng = random.Random(20240607)
    replaced = ties = long_cases = 0
    for case in range(10_000):
        query, vocab, cutoff = random_case(rng)
        got = engine.correct_query(query, vocab, cutoff)
        expected = reference(query, vocab, cutoff)
        assert got == expected, (case, query, vocab, cutoff)
        replaced += got != " ".join(re.findall(r"\w+", query))
        long_cases += any(len(w) >= 200 for w in re.findall(r"\w+", query))
        for word in re.findall(r"\w+", query)[:1] if case % 4 == 0 else ():
            if len(word) >= 200:
                continue
            ratios = [difflib.SequenceMatcher(None, x, word).ratio() for x in vocab]
            good = [r for r in ratios if r >= cutoff]
            ties += len(good) > 1 and good.count(max(good)) > 1
    # The cases really exercise replacements, ties and autojunk.
    assert replaced > 2000 and ties > 50 and long_cases > 50


@settings(max_examples=300, deadline=None)
@given(
    query=st.text(alphabet=st.sampled_from("abcç é_1\u00e3-!"), max_size=30),
    vocab=st.lists(st.text(alphabet=st.sampled_from("abcçé_1\u00e3"), min_size=1, max_size=8),
                   max_size=12),
    cutoff=st.sampled_from([0.0, 0.6, 0.9, 1.0]),
)
def test_property_equal_to_difflib(engine, query, vocab, cutoff):
    assert engine.correct_query(query, vocab, cutoff) == reference(query, vocab, cutoff)


def test_ties_go_to_the_term_that_sorts_last(engine):
    # Both score 6/8 against "abcz"; difflib keeps the greater string.
    assert engine.correct_query("abcz", ["abcy", "abcx"], 0.6) == "abcy"
    assert engine.correct_query("abcz", ["abcx", "abcy"], 0.6) == "abcy"
    assert engine.correct_query("abcz", ["abcx", "abcy"], 0.8) == "abcz"


def test_documented_consequences_of_cutoff_09(engine):
    vocab = ["pesquisa", "casa", "informacao", "computador"]
    assert engine.correct_query("pesqisa", vocab, 0.9) == "pesquisa"   # 14/15
    assert engine.correct_query("cas", vocab, 0.9) == "cas"            # 6/7 is short
    assert engine.correct_query("informacap", vocab, 0.9) == "informacao"  # 18/20
    assert engine.correct_query("televisat", ["televisao"], 0.9) == "televisat"  # 9 letters
    assert engine.correct_query("casa  pesquisa!!", vocab, 1.0) == "casa pesquisa"
    assert engine.correct_query("!!  ", vocab, 0.9) == ""


def test_sequences_difflib_accepts(engine):
    vocab = ["alpha", "beta", "gamma"]
    words = "alpa betta gama zzz"
    expected = reference(words, vocab, 0.6)
    assert engine.correct_query(words, tuple(vocab), 0.6) == expected
    assert engine.correct_query(words, np.array(vocab, dtype=object), 0.6) == expected
    assert engine.correct_query(words, np.array(vocab), 0.6) == expected
    # Object arrays that are no contiguous run of items take difflib's path.
    spaced = np.array(["alpha", "alpa", "beta", "betta", "gamma", "gama"], dtype=object)
    assert engine.correct_query(words, spaced[::2], 0.6) == expected
    assert engine.correct_query(words, spaced[1::2], 0.6) == reference(words, spaced[1::2], 0.6)
    # A one-shot iterator is used up by the first word, as in difflib.
    assert engine.correct_query(words, iter(vocab), 0.6) == reference(words, iter(vocab), 0.6)
    assert engine.correct_query(query="alpa", corpus=vocab) == "alpha"  # cutoff 0.6
    assert engine.correct_query("alpa", vocab, 1) == "alpa"
    assert engine.correct_query("alpa", vocab, False) == "alpha"


def test_cutoff_errors_are_difflibs(engine):
    for cutoff in (1.5, -0.1, float("nan"), 2):
        with pytest.raises(ValueError) as expected:
            difflib.get_close_matches("a", ["a"], n=1, cutoff=cutoff)
        with pytest.raises(ValueError) as got:
            engine.correct_query("alpha beta", ["alpha"], cutoff)
        assert str(got.value) == str(expected.value)
    # No word, no call, no error.
    assert engine.correct_query("...", ["alpha"], 5) == ""
    with pytest.raises(TypeError):
        engine.correct_query("alpha", [1, 2], 0.6)


def test_patched_difflib_is_what_gets_called(engine, monkeypatch):
    calls = []

    def fake(word, possibilities, n, cutoff):
        calls.append((word, list(possibilities), n, cutoff))
        return ["X" + word]

    monkeypatch.setattr(module.difflib, "get_close_matches", fake)
    assert engine.correct_query("ab cd", ["ab"], 0.7) == "Xab Xcd"
    assert calls == [("ab", ["ab"], 1, 0.7), ("cd", ["ab"], 1, 0.7)]


def test_reused_corpus_list_edited_in_place(engine):
    vocab = ["alpha", "beta"]
    assert engine.correct_query("alphx", vocab, 0.6) == "alpha"
    vocab[0] = "alphz"  # same list object, new term
    assert engine.correct_query("alphx", vocab, 0.6) == "alphz"
