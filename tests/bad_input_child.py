"""The bad-input matrix, child side. Run as

    python bad_input_child.py GROUP RESULTS_FILE [SKIP_FILE]

A group builder (in bad_input_cases_*.py) prepares its fakes and files and
registers cases. Each case calls one public function or method with one
bad input and says what must happen: an exception of one of the fitting
classes (non-empty message, optionally containing a given text) or a
described result. Files a case registers with `ctx.keep` must be
byte-identical afterwards. The child appends one JSON line to RESULTS_FILE
before and one after every case, so the parent can name the case that was
running if the process dies; cases listed in SKIP_FILE are not run again.
"""
import contextlib
import hashlib
import json
import os
import sys
import tempfile
import traceback
from pathlib import Path

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

# Wrong types where a str is expected, and awkward strings.
WRONG_TYPES = {"None": None, "bytes": b"some text", "int": 42, "list": ["some text"]}
HUGE = ("Ola mundo, ação! " * 600_000)[:10_000_000]  # 10 MB of text
HUGE_BLANK = (" \n\t" * 3_400_000)[:10_000_000]  # 10 MB of white space
SURROGATES = "caf\udce9 na\ud800o e\udfff fim"  # lone surrogates
NUL = "nada\x00aqui e\x00ali"

_NOTHING = object()


class Case:
    def __init__(self, name, call, raises, match, check):
        self.name, self.call = name, call
        self.raises, self.match, self.check = raises, match, check


class Context:
    """The group's scratch directory, its registered cases, and the files
    that the running case must leave unchanged."""

    def __init__(self, root):
        self.root = Path(root)
        self.cases = []
        self.kept = {}

    def case(self, name, call, raises=None, match=None, check=_NOTHING):
        """`raises`: the fitting exception classes; `check(result)`: true
        for a described result (with both, either outcome is described)."""
        if isinstance(raises, type):
            raises = (raises,)
        self.cases.append(Case(name, call, raises, match, check))

    def each_wrong_type(self, name, call, raises=(TypeError,), **kw):
        for label, value in WRONG_TYPES.items():
            self.case(f"{name}[{label}]", lambda v=value: call(v), raises, **kw)

    def path(self, name):
        return str(self.root / name)

    def write(self, name, data):
        p = self.root / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        return str(p)

    def mkdir(self, name):
        p = self.root / name
        p.mkdir(parents=True, exist_ok=True)
        return str(p)

    def keep(self, *paths):
        for path in paths:
            self.kept[path] = digest(path)


def equals(expected):
    return lambda result: result == expected


def is_str(result):
    return isinstance(result, str)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def fits(error, raises):
    """The library's own errors are plain Exception objects: a subclass (a
    TypeError from a wrong argument, say) is another error, not that one."""
    return any(type(error) is k if k is Exception else isinstance(error, k) for k in raises)


def verdict(c, result, error, kept):
    problems = []
    if error is not None:
        kind = type(error)
        name = f"{kind.__module__}.{kind.__qualname__}: {str(error)[:300]!r}"
        if c.raises is None:
            problems.append("raised " + name)
        elif kind is RuntimeError or isinstance(error, (SystemError, MemoryError)):
            problems.append("raised an unfitting " + name)
        elif not fits(error, c.raises):
            problems.append(f"raised {name}; expected one of "
                            + ", ".join(k.__qualname__ for k in c.raises))
        elif not str(error).strip():
            problems.append(f"raised {kind.__qualname__} with an empty message")
        elif c.match is not None and c.match not in str(error):
            problems.append(f"message {str(error)[:300]!r} lacks {c.match!r}")
    elif c.check is _NOTHING:
        problems.append(f"returned {result!r:.300} instead of raising")
    else:
        try:
            ok = c.check(result)
        except Exception as e:  # noqa: BLE001 - a failing check is a finding
            ok = False
            problems.append("check raised " + repr(e))
        if not ok:
            problems.append(f"returned {result!r:.300}")
    for path, before in kept.items():
        if not os.path.exists(path) or digest(path) != before:
            problems.append("file changed: " + path)
    return problems


def builders():
    import bad_input_cases_engines
    import bad_input_cases_text
    import bad_input_cases_unreadable

    return {**bad_input_cases_text.GROUPS, **bad_input_cases_engines.GROUPS,
            **bad_input_cases_unreadable.GROUPS}


def run(group, results_file, skip):
    out = open(results_file, "a", encoding="utf-8")

    def report(**entry):
        out.write(json.dumps(entry) + "\n")
        out.flush()

    ctx = Context(tempfile.mkdtemp(prefix=f"bad-input-{group}-"))
    report(scratch=str(ctx.root))  # the parent removes it
    # A lenient stream: printing a lone surrogate is the stream's concern.
    quiet = open(os.devnull, "w", encoding="utf-8", errors="backslashreplace")
    with contextlib.redirect_stdout(quiet):
        builders()[group](ctx)
    selected = [c for c in ctx.cases if c.name not in skip]
    for c in selected:
        report(start=c.name)
        ctx.kept = {}
        result = error = None
        try:
            with contextlib.redirect_stdout(quiet):
                result = c.call()
        except Exception as e:  # noqa: BLE001 - every exception is judged
            error = e
        try:
            problems = verdict(c, result, error, ctx.kept)
        except Exception:  # noqa: BLE001
            problems = ["judging failed: " + traceback.format_exc()]
        report(case=c.name, problems=problems)
        result = error = None
    report(done=len(selected))
    out.close()


if __name__ == "__main__":
    skipped = set()
    if len(sys.argv) > 3:
        skipped = set(Path(sys.argv[3]).read_text(encoding="utf-8").splitlines())
    run(sys.argv[1], sys.argv[2], skipped)
