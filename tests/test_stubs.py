"""The installed type stubs describe the modules as they are: same public
names, same parameters and defaults; and a client type-checks against them."""
import ast
import importlib
import importlib.machinery
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import wrapper

PACKAGE_DIR = os.path.dirname(wrapper.__file__)


def stub_files():
    for root, _, files in os.walk(PACKAGE_DIR):
        for name in files:
            if name.endswith(".pyi"):
                path = os.path.join(root, name)
                rel = os.path.relpath(path, os.path.dirname(PACKAGE_DIR))[:-4]
                module = rel.replace(os.sep, ".").removesuffix(".__init__")
                yield module, path


def stub_signature(node):
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return names, defaults


def check_callable(module, qualname, obj, node, problems):
    names, defaults = stub_signature(node)
    if any(ast.unparse(d) == "classmethod" for d in node.decorator_list):
        names, defaults = names[1:], defaults[1:]  # looked up on the class: bound
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        problems.append(f"{module}.{qualname}: no signature")
        return
    actual = list(sig.parameters)
    if actual != names:
        problems.append(f"{module}.{qualname}: stub {names} vs module {actual}")
        return
    for name, stub_default in zip(names, defaults):
        param = sig.parameters.get(name)
        if param is None:
            continue
        has_default = param.default is not inspect.Parameter.empty
        if (stub_default is None) == has_default and not (stub_default == "None" and has_default):
            problems.append(f"{module}.{qualname}({name}): default presence differs")
        elif has_default and stub_default not in ("...",):
            namespace = vars(importlib.import_module(module))
            if eval(stub_default, dict(namespace)) != param.default:
                problems.append(f"{module}.{qualname}({name}): {stub_default} != {param.default!r}")


def imported_object(module, path, node, alias):
    """What the stub's import line names, imported the way Python would."""
    if isinstance(node, ast.Import):
        return importlib.import_module(alias.name)
    package = module if path.endswith("__init__.pyi") else module.rpartition(".")[0]
    source = importlib.import_module("." * node.level + (node.module or ""), package)
    if not hasattr(source, alias.name):  # a submodule not yet imported
        return importlib.import_module(f"{source.__name__}.{alias.name}")
    return getattr(source, alias.name)


def check_imported_name(module, path, node, alias, mod, problems):
    """A module global named by an import line is the very object that line
    imports (read through the module, so a late-bound name loads here)."""
    if not hasattr(mod, alias.asname):
        problems.append(f"{module}: imported name {alias.asname} is no module attribute")
    elif getattr(mod, alias.asname) is not imported_object(module, path, node, alias):
        problems.append(f"{module}.{alias.asname} is not the object its import line names")


STUBS = sorted(stub_files())


def test_every_module_has_a_stub():
    modules = {m for m, _ in STUBS}
    for root, _, files in os.walk(PACKAGE_DIR):
        if os.path.relpath(root, PACKAGE_DIR) == "_lib":
            continue  # the shared libraries the modules load: no modules
        for name in files:
            if name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
                rel = os.path.relpath(os.path.join(root, name.split(".")[0]),
                                      os.path.dirname(PACKAGE_DIR))
                module = rel.replace(os.sep, ".").removesuffix(".__init__")
                assert module in modules, f"no stub for {module}"
    assert os.path.exists(os.path.join(PACKAGE_DIR, "py.typed"))


@pytest.mark.parametrize("module,path", STUBS, ids=[m for m, _ in STUBS])
def test_stub_agrees_with_module(module, path):
    mod = importlib.import_module(module)
    tree = ast.parse(open(path).read())
    problems = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            obj = getattr(mod, node.name, None)
            if obj is None:
                problems.append(f"{module}.{node.name} missing")
            else:
                check_callable(module, node.name, obj, node, problems)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cls = getattr(mod, node.name, None)
            if cls is None:
                problems.append(f"{module}.{node.name} missing")
                continue
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    attr = inspect.getattr_static(cls, item.name, None)
                    if attr is None:
                        problems.append(f"{module}.{node.name}.{item.name} missing")
                        continue
                    check_callable(module, f"{node.name}.{item.name}",
                                   getattr(cls, item.name), item, problems)
                elif isinstance(item, (ast.AnnAssign, ast.Assign)):
                    target = item.target if isinstance(item, ast.AnnAssign) else item.targets[0]
                    if isinstance(item, ast.Assign) and not hasattr(cls, target.id):
                        problems.append(f"{module}.{node.name}.{target.id} missing")
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname and not alias.asname.startswith("_"):
                    check_imported_name(module, path, node, alias, mod, problems)
    public = {n for n, v in vars(mod).items()
              if not n.startswith("_") and getattr(v, "__module__", None) == module}
    declared = {getattr(n, "name", None) for n in tree.body}
    problems += [f"{module}.{n} not in stub" for n in sorted(public - declared)]
    assert problems == []


def test_client_type_checks_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    client = tmp_path / "client.py"
    client.write_text(textwrap.dedent('''
        from wrapper.Process import Process
        from wrapper.core.File import File
        from wrapper.infra import Cleanser
        from wrapper.infra.Tongue import Tongue

        def index(base: str, paths: list[str]) -> list[str]:
            pipeline = Process.create_batch_pipeline(base)
            records: list[File] = [pipeline.compile_and_train(p, i) for i, p in enumerate(paths)]
            query, hits = pipeline.search("consulta", Tongue.PORTUGUESE, page=2)
            tokens, cleaned = Cleanser.preprocess_text_for_stemmetization(query, Tongue.ENGLISH)
            return [str(h["name"]) for h in hits] + tokens + [cleaned] + [r.text or "" for r in records]
    '''))
    bad = tmp_path / "bad.py"
    bad.write_text("from wrapper.Process import Process\nProcess.create_batch_pipeline(3)\n")
    # The client is checked against our stubs; the heavy third-party
    # packages they mention are not analysed (that would take minutes).
    config = tmp_path / "mypy.ini"
    config.write_text(textwrap.dedent("""
        [mypy]
        ignore_missing_imports = True
        [mypy-torch.*,transformers.*,sentence_transformers.*,sklearn.*,scipy.*,spacy.*,cv2.*,nltk.*,lingua.*,googletrans.*,fitz.*,pymupdf.*,pytesseract.*,PIL.*,joblib.*,numpy.*,spellchecker.*,httpx.*]
        follow_imports = skip
    """))
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(config), "--no-incremental",
           "--cache-dir", str(tmp_path / "cache")]
    ok = subprocess.run(cmd + [str(client)], capture_output=True, text=True, cwd=tmp_path)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    wrong = subprocess.run(cmd + [str(bad)], capture_output=True, text=True, cwd=tmp_path)
    assert wrong.returncode == 1 and "create_batch_pipeline" in wrong.stdout
