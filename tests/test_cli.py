"""The command line `wrapper index` / `wrapper search` and its Python entry,
over real documents and real tools: which documents end in the model, what
the failure report says, exit statuses, and resuming after an interruption."""
import concurrent.futures
import io
import json
import os
import pickle
import subprocess
import sys

import joblib
import pytest

import sample_documents as docs
import tiny_ner_model
from conftest import needs_nltk_data
from wrapper import cli

pytestmark = needs_nltk_data

# Text of each good document and a query that should find it first.
GOOD = {
    "harbor.pdf": ("The harbor crane lifted containers onto the ship", "crane containers"),
    "letters/bakery.pdf": ("Fresh bread from the bakery oven every morning", "bread oven"),
    "scans/invoice.pdf": ("Invoice total payable", "invoice payable"),
    "tram.png": ("Lisbon tramway", "tramway"),
}
BAD = {"broken.pdf": "FileDataError", "notes.txt": "Exception"}


def make_collection(base):
    base.mkdir(parents=True)
    (base / "letters").mkdir()
    (base / "scans").mkdir()
    docs.text_pdf(base / "harbor.pdf", GOOD["harbor.pdf"][0])
    docs.text_pdf(base / "letters/bakery.pdf", GOOD["letters/bakery.pdf"][0])
    docs.scanned_pdf(base / "scans/invoice.pdf", GOOD["scans/invoice.pdf"][0])
    docs.save_picture(base / "tram.png", GOOD["tram.png"][0], "PNG")
    (base / "broken.pdf").write_bytes(b"%PDF-1.4 this is no PDF at all")
    (base / "notes.txt").write_text("a text file the library does not read")
    (base / ".hidden.pdf").write_bytes(b"not looked at")
    return base


def model_names(base):
    return joblib.load(os.path.join(base, "models", "td_model.pkl"))["document_names"]


def failures(path):
    with open(path, encoding="utf-8") as f:
        return {line["path"]: line for line in map(json.loads, f)}


def run_cli(args, cwd, **kwargs):
    env = dict(os.environ, PATH=docs.tool_path(),
               PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "wrapper", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def ner_dir(tmp_path_factory):
    import spacy

    if spacy.util.is_package(tiny_ner_model.MODEL_NAME):
        pytest.skip("a real entity model is installed; it would be loaded instead")
    return tiny_ner_model.save_model(tmp_path_factory.mktemp("ner"))


@pytest.fixture(scope="module")
def indexed(tmp_path_factory, ner_dir):
    """One collection indexed by the command line, then indexed again."""
    base = make_collection(tmp_path_factory.mktemp("cli") / "my docs")
    first = run_cli(["index", str(base), "--workers", "2"], cwd=ner_dir)
    names_after_first = model_names(base)
    # The second run in this process, through the same entry.
    with pytest.MonkeyPatch.context() as mp:
        mp.chdir(ner_dir)
        mp.setenv("PATH", docs.tool_path())
        mp.setattr(sys, "stderr", io.StringIO())
        status = cli.main(["index", str(base), "--workers", "2", "-v"])
        second = subprocess.CompletedProcess([], status, "", sys.stderr.getvalue())
    return base, first, names_after_first, second


def test_index_trains_every_good_document_once_and_reports_the_bad(indexed):
    base, first, names, _ = indexed
    assert first.returncode == 1, first.stderr
    assert sorted(names) == sorted(GOOD)
    report = failures(base / "models" / "index-failures.jsonl")
    assert set(report) == set(BAD)
    for path, kind in BAD.items():
        assert report[path]["type"] == kind and report[path]["message"]
    assert "indexed 4 documents, 0 already in the model, 2 failed" in first.stderr
    # Parallel PDF compiles do not use the collection's OCR working copy.
    assert not (base / "output.pdf").exists()
    assert first.stdout == ""


def test_rerun_skips_what_the_model_holds(indexed):
    base, _, names, second = indexed
    assert second.returncode == 1
    assert "indexed 0 documents, 4 already in the model, 2 failed" in second.stderr
    assert model_names(base) == names
    assert set(failures(base / "models" / "index-failures.jsonl")) == set(BAD)


def test_search_finds_each_document_first(indexed, ner_dir, monkeypatch, capsys):
    base = indexed[0]
    monkeypatch.chdir(ner_dir)
    for path, (_, query) in GOOD.items():
        assert cli.main(["search", str(base), query, "--language", "en", "--json"]) == 0
        page = json.loads(capsys.readouterr().out)
        assert page["hits"][0]["path"] == path == page["hits"][0]["name"]
        assert isinstance(page["query"], str) and isinstance(page["hits"][0]["Pontuação"], float)
        assert cli.main(["search", str(base), query, "--language", "en", "--size", "2"]) == 0
        lines = capsys.readouterr().out.splitlines()
        assert lines[0].startswith("query: ") and 2 <= len(lines) <= 3
        assert lines[1].split()[0] == "1" and lines[1].endswith(path)


def test_usage_errors_exit_with_2(tmp_path, capsys):
    (tmp_path / "doc.png").write_bytes(b"")
    for argv in ([], ["index"], ["index", str(tmp_path / "missing")],
                 ["index", str(tmp_path), "--workers", "0"],
                 ["index", str(tmp_path), "--engine", "xx"],
                 ["index", str(tmp_path), "../outside.pdf"],
                 ["index", str(tmp_path), "no-such.pdf"],
                 ["search", str(tmp_path), "q", "--page", "0"]):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)
        assert exit_info.value.code == 2, argv
    assert "no-such.pdf" in capsys.readouterr().err


def test_find_documents_leaves_out_the_library_files(tmp_path):
    for name in ["b.png", "a.pdf", "sub/c.mp4", "models/td_model.pkl", "output.pdf",
                 "sub/output.pdf", ".git/x.pdf", "sub/.cache.png"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    assert cli.find_documents(str(tmp_path)) == ["a.pdf", "b.png", "sub/c.mp4", "sub/output.pdf"]
    # The same identifiers whichever way a path is written; no duplicates.
    assert cli.find_documents(str(tmp_path) + "/", ["./sub/../a.pdf", "sub", "sub/c.mp4"]) == \
        ["a.pdf", "sub/c.mp4", "sub/output.pdf"]
    with pytest.raises(ValueError, match="outside"):
        cli.find_documents(str(tmp_path), ["../x.pdf"])
    with pytest.raises(TypeError):
        cli.find_documents(str(tmp_path), "a.pdf")


def test_compiled_records_pickle_and_keep_the_collection_base(tmp_path, ner_dir, monkeypatch):
    monkeypatch.chdir(ner_dir)
    monkeypatch.setenv("PATH", docs.tool_path())
    docs.scanned_pdf(tmp_path / "scan.pdf", "Acme harbor")
    docs.save_picture(tmp_path / "note.jpg", "Lisbon tramway", "JPEG")
    docs.text_video(tmp_path / "clip.mp4", ["Acme"] * 2)
    for rel, kind in [("scan.pdf", "PDF"), ("note.jpg", "Image"), ("clip.mp4", "Video")]:
        record = cli.compile_document(str(tmp_path), rel)
        assert type(record).__name__ == kind and record.id == rel
        assert record.base_path == str(tmp_path) and record.text
        copy = pickle.loads(pickle.dumps(record))
        assert type(copy) is type(record) and vars(copy) == vars(record)
    assert sorted(os.listdir(tmp_path)) == ["clip.mp4", "note.jpg", "scan.pdf"]
    (tmp_path / "blank.png").write_bytes(docs.picture_bytes(""))
    with pytest.raises(ValueError, match="No text found in document blank.png"):
        cli.compile_document(str(tmp_path), "blank.png")


def test_python_entry_on_the_hosts_executor(tmp_path, ner_dir, monkeypatch):
    monkeypatch.chdir(ner_dir)
    monkeypatch.setenv("PATH", docs.tool_path())
    base = make_collection(tmp_path / "c")
    report = tmp_path / "failures.jsonl"
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        summary = cli.index_documents(str(base), ["tram.png", "harbor.pdf", "notes.txt"],
                                      executor=pool, batch_size=1, failures=str(report))
        assert pool.submit(len, "still open").result() == 10  # the host's pool stays its own
    assert summary == {"documents": 3, "skipped": 0, "indexed": 2, "failed": 1,
                       "failures": str(report)}
    assert sorted(model_names(base)) == ["harbor.pdf", "tram.png"]
    assert set(failures(report)) == {"notes.txt"}


def console_scripts(pyproject):
    """The [project.scripts] table. Interpreters before 3.11 have no
    tomllib: tomli where installed, else a reading of the table's
    `name = "module:function"` lines, all that table ever holds."""
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib
        except ImportError:
            tomllib = None
    if tomllib is not None:
        with open(pyproject, "rb") as f:
            return tomllib.load(f)["project"]["scripts"]
    scripts, inside = {}, False
    with open(pyproject, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line.startswith("["):
                inside = line == "[project.scripts]"
            elif inside and "=" in line:
                name, value = (part.strip() for part in line.split("=", 1))
                scripts[name.strip('"')] = value.strip('"')
    return scripts


def test_console_script_runs_the_command_line(capsys):
    target = console_scripts(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml"))["wrapper"]
    module, name = target.split(":")
    entry = getattr(__import__(module, fromlist=[name]), name)
    assert entry is cli.main
    with pytest.raises(SystemExit) as exit_info:
        entry(["index", "--help"])
    assert exit_info.value.code == 0
    assert "--scheduler ADDRESS" in capsys.readouterr().out
