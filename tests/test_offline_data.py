"""The NLTK data and the MiniLM model the library needs, as installed offline by
scripts/provision_nltk_data.py and scripts/provision_minilm.py.

NLTK tests read only the provisioned root, <sys.prefix>/nltk_data, and skip
when it does not exist.  Model tests skip when sentence_transformers is not
importable.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]
NLTK_SCRIPT = REPO_ROOT / "scripts" / "provision_nltk_data.py"
MINILM_SCRIPT = REPO_ROOT / "scripts" / "provision_minilm.py"
NLTK_ROOT = Path(sys.prefix) / "nltk_data"
MODEL_ID = "sentence-transformers/all-MiniLM-L6-v2"


def run_script(script: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(script), *args], capture_output=True, text=True, timeout=300
    )


# --------------------------------------------------------------------------
# NLTK data
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def nltk_root():
    if not NLTK_ROOT.is_dir():
        pytest.skip(
            f"no provisioned NLTK data at {NLTK_ROOT}; "
            f"run: python scripts/provision_nltk_data.py {NLTK_ROOT}"
        )
    return NLTK_ROOT


@pytest.fixture
def only_provisioned_data(nltk_root, monkeypatch):
    """Make NLTK search the provisioned root and nothing else, so data lying
    in ~/nltk_data or elsewhere cannot stand in for a missing piece."""
    nltk = pytest.importorskip("nltk")
    monkeypatch.setattr(nltk.data, "path", [str(nltk_root)])
    return nltk_root


class TestPunkt:
    # Each text holds an abbreviation that only the named language's model
    # knows, so a missing or wrong model splits it in the wrong place.
    SPLITS = {
        "english": (
            "Dr. Smith arrived at 5 p.m. on Monday. He met Mr. Jones at the U.S. embassy. "
            "They left together.",
            [
                "Dr. Smith arrived at 5 p.m. on Monday.",
                "He met Mr. Jones at the U.S. embassy.",
                "They left together.",
            ],
        ),
        "portuguese": (
            "Dr. Silva chegou. Ele saiu. A Sra. Costa chegou ontem. Ela saiu cedo.",
            ["Dr. Silva chegou.", "Ele saiu.", "A Sra. Costa chegou ontem.", "Ela saiu cedo."],
        ),
        "spanish": (
            "El Ing. Pérez firmó el acta. Luego se marchó. "
            "Vive en la Avda. Libertad desde enero.",
            [
                "El Ing. Pérez firmó el acta.",
                "Luego se marchó.",
                "Vive en la Avda. Libertad desde enero.",
            ],
        ),
    }

    @pytest.mark.parametrize("language", sorted(SPLITS))
    def test_library_splits_sentences_with_the_provisioned_models(self, only_provisioned_data, language):
        from wrapper.infra import Cleanser
        from wrapper.infra.Tongue import Tongue

        text, expected = self.SPLITS[language]
        assert Cleanser.extract_sentences(text, getattr(Tongue, language.upper())) == expected

    def test_legacy_pickle_name_is_served_without_pickles(self, only_provisioned_data):
        # Code written for the old pickled models still works: NLTK answers
        # the .pickle name from punkt_tab, so no pickle needs to be installed.
        import nltk

        tokenizer = nltk.data.load("tokenizers/punkt/portuguese.pickle")
        assert tokenizer.tokenize("Dr. Silva chegou. Ele saiu.") == ["Dr. Silva chegou.", "Ele saiu."]


class TestStopwords:
    @pytest.mark.parametrize(
        "language, present, absent",
        [
            ("english", {"the", "and", "of", "is", "not"}, {"house", "computer"}),
            ("portuguese", {"de", "que", "não", "uma", "é", "à"}, {"casa", "computador"}),
            ("spanish", {"de", "que", "el", "y", "está"}, {"casa", "ordenador"}),
        ],
    )
    def test_lists_hold_function_words_only(self, only_provisioned_data, language, present, absent):
        from nltk.corpus import stopwords

        words = stopwords.words(language)
        assert present <= set(words)
        assert not absent & set(words)
        assert all(w and w == w.strip() for w in words)


@pytest.mark.parametrize(
    "language, text, expected",
    [
        ("portuguese", "Os dados da casa e as casas do modelo", ["dad", "cas", "cas", "model"]),
        ("english", "The houses of the village and a dog", ["hous", "villag", "dog"]),
        ("spanish", "Las canciones de la biblioteca y el perro", ["cancion", "bibliotec", "perr"]),
    ],
)
def test_library_token_preparation_drops_the_provisioned_stop_words(
        only_provisioned_data, language, text, expected):
    from wrapper.infra import Cleanser
    from wrapper.infra.Tongue import Tongue

    listed = set((only_provisioned_data / "corpora/stopwords" / language)
                 .read_text(encoding="utf-8").split())
    # Each text holds words of the provisioned list: they must be gone.
    assert {w.lower() for w in text.split()} & listed
    tokens, joined = Cleanser.preprocess_text_for_stemmetization(text, getattr(Tongue, language.upper()))
    assert tokens == expected and joined == " ".join(expected)


class TestStemmers:
    def test_rslp(self, only_provisioned_data):
        import nltk
        from nltk.stem import RSLPStemmer

        try:
            nltk.data.find("stemmers/rslp/step0.pt")
        except LookupError:
            pytest.skip(
                "stemmers/rslp is not provisioned: no PyPI or Debian package carries "
                "NLTK's RSLP rule files (see scripts/provision_nltk_data.py)"
            )
        stemmer = RSLPStemmer()
        # Expected stems as published in nltk.stem.rslp's own documentation.
        text = (
            "Clarissa risca com giz no quadro-negro a paisagem que os alunos devem copiar . "
            "Uma casinha de porta e janela , em cima duma coxilha ."
        )
        expected = (
            "clariss risc com giz no quadro-negr a pais que os alun dev copi . "
            "uma cas de port e janel , em cim dum coxilh ."
        )
        assert " ".join(stemmer.stem(w) for w in text.split()) == expected
        # Plural and feminine forms reduce to one stem.
        assert len({stemmer.stem(w) for w in ("menino", "meninos", "menina", "meninas")}) == 1


def test_wordnet_reads_the_provisioned_files(only_provisioned_data):
    import nltk
    from nltk.corpus import wordnet

    try:
        nltk.data.find("corpora/wordnet")
    except LookupError:
        pytest.skip("WordNet was provisioned with --skip-wordnet")
    assert wordnet.get_version() == "3.0"
    dog = wordnet.synset("dog.n.01")
    assert "Canis" in dog.definition()
    assert wordnet.synset("canine.n.02") in dog.hypernyms()


class TestProvisionScript:
    """The checks the script relies on to call a root complete."""

    @pytest.fixture
    def root_copy(self, nltk_root, tmp_path):
        """punkt_tab and stopwords, with their manifests, copied to a scratch root."""
        for piece in ("punkt_tab", "stopwords"):
            if not (nltk_root / ".provisioned" / f"{piece}.manifest").is_file():
                pytest.fail(f"{nltk_root} was not provisioned by {NLTK_SCRIPT.name}: no {piece} manifest")
        root = tmp_path / "nltk_data"
        for rel in ("tokenizers/punkt_tab", "corpora/stopwords"):
            shutil.copytree(nltk_root / rel, root / rel)
        (root / ".provisioned").mkdir()
        for piece in ("punkt_tab", "stopwords"):
            shutil.copy(nltk_root / ".provisioned" / f"{piece}.manifest", root / ".provisioned")
        return root

    def test_check_accepts_an_intact_root(self, root_copy):
        proc = run_script(NLTK_SCRIPT, str(root_copy), "--check", "--skip-wordnet")
        assert proc.returncode == 0, proc.stderr
        assert "stemmers/rslp is NOT provided" in proc.stderr

    @pytest.mark.parametrize(
        "damage, reported",
        [
            (lambda root: (root / "corpora/stopwords/portuguese").write_text("de\n"), "portuguese: size"),
            (lambda root: (root / "tokenizers/punkt_tab/spanish/abbrev_types.txt").unlink(), "abbrev_types.txt: missing"),
            (
                # A manifest edited to bless an altered file is refused too.
                lambda root: (root / ".provisioned/stopwords.manifest").write_text("english\t4\tx\n"),
                "manifest does not match",
            ),
        ],
        ids=["altered-file", "missing-file", "edited-manifest"],
    )
    def test_check_rejects_a_damaged_root(self, root_copy, damage, reported):
        damage(root_copy)
        proc = run_script(NLTK_SCRIPT, str(root_copy), "--check", "--skip-wordnet")
        assert proc.returncode == 1
        assert reported in proc.stderr

    def test_strict_fails_while_rslp_is_missing(self, root_copy):
        proc = run_script(NLTK_SCRIPT, str(root_copy), "--check", "--skip-wordnet", "--strict")
        assert proc.returncode == 1
        assert "ERROR: stemmers/rslp" in proc.stderr

    def test_rerun_repairs_damage_and_keeps_foreign_files(self, root_copy, nltk_root):
        cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
        download_dir = cache / "wrapper-provision" / "wheels"
        if not (download_dir / "llama_index_core-0.14.25-py3-none-any.whl").is_file():
            pytest.skip(f"pinned wheel not kept in {download_dir}; repairing would need the network")
        victim = root_copy / "corpora/stopwords/spanish"
        victim.write_text("corrupted\n")
        foreign = root_copy / "corpora/stopwords/klingon"
        foreign.write_text("qaStaH\n")

        proc = run_script(NLTK_SCRIPT, str(root_copy), "--skip-wordnet", "--download-dir", str(download_dir))
        assert proc.returncode == 0, proc.stderr
        assert victim.read_bytes() == (nltk_root / "corpora/stopwords/spanish").read_bytes()
        assert foreign.read_text() == "qaStaH\n"


# --------------------------------------------------------------------------
# all-MiniLM-L6-v2
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def minilm():
    st = pytest.importorskip("sentence_transformers", reason="sentence_transformers is not importable")
    # local_files_only: served from the seeded hub cache.  A plain call also
    # resolves from it, but only after the hub client has retried the
    # unreachable server for every file the snapshot lacks (minutes).
    try:
        return st.SentenceTransformer(MODEL_ID, device="cpu", local_files_only=True)
    except OSError as exc:
        pytest.fail(f"{MODEL_ID} is not in the hub cache ({exc}); run: python scripts/provision_minilm.py")


def pinned_commit() -> str:
    """The revision the provisioning script seeds (read, not imported)."""
    match = re.search(r'^COMMIT = "([0-9a-f]{40})"$', MINILM_SCRIPT.read_text(), re.MULTILINE)
    assert match, f"no COMMIT in {MINILM_SCRIPT}"
    return match.group(1)


@pytest.mark.slow
class TestMiniLM:
    def test_reproduces_the_published_similarity_matrix(self, minilm):
        # The example sentences and scores published with sentence-transformers
        # for this model: matching them means tokenizer, weights, mean pooling
        # and normalisation all match upstream.
        emb = minilm.encode(
            ["The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium."]
        )
        assert emb.shape == (3, 384)
        sim = minilm.similarity(emb, emb).numpy()
        expected = [[1.0, 0.6660, 0.1046], [0.6660, 1.0, 0.1411], [0.1046, 0.1411, 1.0]]
        assert abs(sim - expected).max() < 1e-3, sim

    def test_related_sentences_score_above_unrelated_ones(self, minilm):
        import numpy as np

        emb = minilm.encode(
            [
                "A man is eating food.",
                "A man is eating a piece of bread.",
                "How do I reset my password?",
                "I forgot the password to my account.",
                "The stock market fell sharply today.",
            ]
        )
        assert np.allclose(np.linalg.norm(emb, axis=1), 1.0, atol=1e-5)
        cos = emb @ emb.T
        for a, b in ((0, 1), (2, 3)):
            assert cos[a, b] > cos[a, 4] + 0.3
            assert cos[a, b] > cos[b, 4] + 0.3

    def test_provision_check_verifies_the_cache_in_use(self, minilm):
        from huggingface_hub import snapshot_download

        snapshot = Path(snapshot_download(MODEL_ID, local_files_only=True))
        proc = run_script(MINILM_SCRIPT, "--check", "--cache-dir", str(snapshot.parents[2]))
        assert proc.returncode == 0, proc.stderr

    def test_provision_check_rejects_an_altered_file(self, minilm, tmp_path):
        from huggingface_hub import snapshot_download

        snapshot = Path(snapshot_download(MODEL_ID, local_files_only=True))
        commit = pinned_commit()
        repo = tmp_path / ("models--" + MODEL_ID.replace("/", "--"))
        fake = repo / "snapshots" / commit
        for path in snapshot.rglob("*"):
            if path.is_file():
                dest = fake / path.relative_to(snapshot)
                dest.parent.mkdir(parents=True, exist_ok=True)
                dest.symlink_to(path.resolve())
        (repo / "refs").mkdir()
        (repo / "refs" / "main").write_text(commit)

        ok = run_script(MINILM_SCRIPT, "--check", "--cache-dir", str(tmp_path))
        assert ok.returncode == 0, ok.stderr

        config = fake / "config.json"
        text = config.read_text().replace('"hidden_size": 384', '"hidden_size": 385')
        config.unlink()
        config.write_text(text)
        bad = run_script(MINILM_SCRIPT, "--check", "--cache-dir", str(tmp_path))
        assert bad.returncode == 1
        assert "config.json" in bad.stderr
