"""The type stubs against the built module, mypy on the examples and the
tessary package, a user's script through mypy and pyright, the stubs catching
misuse, and docs/api.md naming everything the module has.

Run by `make typecheck`: TESSARY_MODULE_DIR is the folder of the built module
and MYPYPATH a folder where the stubs are visible as `TessaryHardwareAPI`,
then the source tree's python/ folder (the tessary package).
"""

import ast
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
STUB = ROOT / "python" / "TessaryHardwareAPI-stubs" / "__init__.pyi"
MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR", str(ROOT / "build" / "python"))
sys.path.insert(0, MODULE_DIR)

import TessaryHardwareAPI as api  # noqa: E402


def mypy(*args):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    cache = ROOT / "build" / "typing" / ".mypy_cache"
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(HERE / "mypy.ini"), "--cache-dir", str(cache), *args],
        capture_output=True, text=True, cwd=ROOT, env=env,
    )


def test_stubtest_passes():
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "TessaryHardwareAPI",
         "--allowlist", str(HERE / "stubtest-allowlist.txt")],
        capture_output=True, text=True, cwd=ROOT, env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_user_script_and_package_pass_mypy_strict():
    checked = [str(p.relative_to(ROOT)) for p in sorted((ROOT / "examples").glob("*.py"))]
    # The package's modules that scripts import; the command's own (cli.py) are not annotated.
    checked += ["tests/typing/user_script.py"]
    checked += [f"python/tessary/{name}.py" for name in ("__init__", "detection", "ports", "sim")]
    result = mypy("--strict", *checked)
    assert result.returncode == 0, result.stdout + result.stderr


def test_user_script_runs():
    # What it type-checks against must also hold at run time: numpy arrays as
    # requests, virtual devices and detection in their folder.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, str(ROOT / "python")]))
    result = subprocess.run([sys.executable, str(HERE / "user_script.py")], capture_output=True, text=True,
                            env=env, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.fullmatch(r"arm at \(.*\) m, base \(1\.0, 0\.0, 0\.0, 0\.0\), 3 currents; handle model 2\n",
                        result.stdout), result.stdout


def test_stubs_reject_misuse():
    # mypy must report exactly the errors of misuse.expected.
    result = mypy("--strict", "--hide-error-context", "--no-error-summary", "--no-pretty",
                  str((HERE / "misuse.py").relative_to(ROOT)))
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    expected = (HERE / "misuse.expected").read_text().splitlines()
    assert errors == expected, result.stdout
    assert result.returncode == 1


# ------------------------------------------------------------------- pyright
# pyright's wheel carries its JavaScript; it runs on the machine's node, and
# is skipped where there is none rather than have it download one.

def pyright(*files):
    if shutil.which("node") is None:
        pytest.skip("no node on PATH for pyright")
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, PYRIGHT_PYTHON_IGNORE_WARNINGS="1",  # no version check online
               PYRIGHT_PYTHON_NODEJS_WHEEL="0")
    result = subprocess.run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "-p",
                             "pyrightconfig.json", "--outputjson", *files],
                            capture_output=True, text=True, cwd=HERE, env=env, timeout=300)
    found = json.loads(result.stdout)["generalDiagnostics"]
    return sorted((pathlib.Path(d["file"]).name, d["range"]["start"]["line"] + 1, d.get("rule")) for d in found)


# The line of each mistake in misuse.py and the rule pyright reports it by.
PYRIGHT_MISUSE = [
    (10, "reportArgumentType"),  # text as forces
    (16, "reportIncompatibleMethodOverride"),  # status callback with single values
    (23, "reportAssignmentType"),  # the (position, velocity) pair's first item as a float
    (26, "reportAssignmentType"),  # a list result as a tuple
    (29, "reportArgumentType"),  # text items in a request vector
    (32, "reportCallIssue"),  # a callback's arguments by keyword
]


def test_pyright_strict_accepts_the_user_script_and_rejects_misuse():
    found = pyright("user_script.py", "misuse.py")
    assert found == [("misuse.py", line, rule) for line, rule in PYRIGHT_MISUSE], found


# ---------------------------------------------------------------- signatures
# pybind11 callables carry no inspectable signature, so stubtest cannot check
# parameters; their docstrings list them, one line per overload.

SIGNATURE = re.compile(r"^(?:\d+\. )?(\w+)\((.*)\) -> .*$", re.M)
UNNAMED = re.compile(r"arg\d+")


def split_params(text):
    params, depth, current = [], 0, ""
    for ch in text + ",":
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
            continue
        depth += ch in "([{"
        depth -= ch in ")]}"
        current += ch
    return [p for p in params if p]


def runtime_forms(doc):
    """Per overload: [(name, has default)] after self, or None when variadic."""
    forms = []
    for match in SIGNATURE.finditer(doc):
        params = split_params(match.group(2))
        if any(p.startswith("*") for p in params):
            forms.append(None)
            continue
        parsed = [(p.split(":")[0].strip(), "=" in p) for p in params]
        forms.append([p for p in parsed if p[0] != "self"])
    return forms


def stub_functions():
    """(class or None, name) -> the stub's defs of it, overloads in order."""
    found = {}
    for node in ast.parse(STUB.read_text()).body:
        owner = node.name if isinstance(node, ast.ClassDef) else None
        for member in node.body if owner else [node]:
            if isinstance(member, ast.FunctionDef) and "property" not in map(ast.unparse, member.decorator_list):
                found.setdefault((owner, member.name), []).append(member)
    return found


def stub_params(func):
    """[(name, has default, positional-only)] after self."""
    args = func.args
    positional = args.posonlyargs + args.args
    first_default = len(positional) - len(args.defaults)
    params = [(a.arg, i >= first_default, i < len(args.posonlyargs)) for i, a in enumerate(positional)]
    return [p for p in params if p[0] != "self"]


def test_stub_parameters_match_runtime_docstrings():
    checked = 0
    for (owner, name), funcs in stub_functions().items():
        if owner and not hasattr(api, owner):
            continue  # a class for type checkers only (FloatVector)
        target = getattr(getattr(api, owner) if owner else api, name, None)
        forms = runtime_forms(getattr(target, "__doc__", None) or "")
        if not forms:
            continue  # not in this build yet, or a slot without a signature
        where = f"{owner}.{name}" if owner else name
        assert len(forms) == len(funcs), f"{where}: overload count"
        for runtime, func in zip(forms, funcs):
            if runtime is None:
                continue
            stub = stub_params(func)
            assert len(stub) == len(runtime), f"{where}: parameter count"
            for (rname, rdefault), (sname, sdefault, positional_only) in zip(runtime, stub):
                # Names with spaces and unnamed arguments cannot be passed by
                # keyword: the stub makes them positional-only. So are the
                # handle's callbacks, which Receive() calls positionally, so
                # that overrides may name their parameters freely.
                keywordless = " " in rname or UNNAMED.fullmatch(rname) is not None or name.startswith("OnReceive")
                assert positional_only == keywordless, f"{where}: {rname} positional-only"
                assert UNNAMED.fullmatch(rname) or sname == rname.replace(" ", "_"), f"{where}: {rname}"
                assert sdefault == rdefault, f"{where}: default of {rname}"
            checked += 1
    assert checked >= 40, checked


# --------------------------------------------------------------- docs/api.md

def coded_words(markdown):
    """Identifiers inside inline code spans, fenced blocks left out."""
    text = re.sub(r"```.*?```", "", markdown, flags=re.S)
    return {w for span in re.findall(r"`([^`\n]+)`", text) for w in re.findall(r"[A-Za-z_]\w*", span)}


def python_sections(markdown):
    """Heading text -> body, for the headings of the Python reference."""
    python = markdown.split("\n## Python module", 1)[1].split("\n## ", 1)[0]
    parts = re.split(r"^### (.*)$", python, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def test_api_reference_names_every_public_name():
    markdown = (ROOT / "docs" / "api.md").read_text()
    module_names = {n for n in dir(api) if not n.startswith("_")} | {"__version__"}
    missing = sorted(module_names - coded_words(markdown))
    # Each class's members in that class's own section.
    sections = python_sections(markdown)
    for name in sorted(module_names):
        cls = getattr(api, name)
        if not isinstance(cls, type):
            continue
        body = "".join(text for heading, text in sections.items() if f"`{name}`" in heading)
        assert body, f"docs/api.md has no section for {name}"
        words = coded_words(body)
        missing += [f"{name}.{m}" for m in sorted(vars(cls)) if not m.startswith("_") and m not in words]
    assert not missing, f"docs/api.md does not mention: {missing}"


def test_error_lines_quoted_in_the_docs_are_reported_by_their_files():
    # "[err] Library/src/Device.cpp:LINE> unable to write ..." must still be
    # a line that file reports (the docs quote no line numbers: check-docs).
    quoted = 0
    for doc in sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]:
        for path, message in re.findall(r"\[err\] (Library/src/\w+\.cpp):LINE> ([a-z ]+)", doc.read_text()):
            reports = [line for line in (ROOT / path).read_text().splitlines() if "TESSARY_REPORT" in line]
            assert any(message.strip() in line for line in reports), f"{doc.name}: {path}: {message}"
            quoted += 1
    assert quoted >= 11
