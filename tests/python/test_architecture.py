"""Source rules that keep the layers honest: the interpreter-free cores never
touch Python, and only the detach guard lets go of the interpreter."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="sources not present")

CORES = ["channel_core/*", "common/*", "lock/core_*", "map/table.hpp"]
# A Python C-API identifier or header, outside comments.
PY_TOKEN = re.compile(r"\bPy[A-Z_][A-Za-z_]*|Python\.h|\bPyObject\b")


def code_lines(path):
    text = re.sub(r"/\*.*?\*/", "", path.read_text(), flags=re.S)
    for number, line in enumerate(text.splitlines(), 1):
        yield number, line.split("//", 1)[0]


def test_cores_are_python_free():
    files = sorted({p for pattern in CORES for p in SRC.glob(pattern)})
    assert files, "no core sources found"
    offenders = [f"{p.relative_to(SRC)}:{n}: {line.strip()}"
                 for p in files for n, line in code_lines(p) if PY_TOKEN.search(line)]
    assert offenders == []


def test_only_the_detach_guard_releases_the_interpreter():
    allowed = SRC / "binding" / "detach.hpp"
    offenders = [f"{p.relative_to(SRC)}:{n}"
                 for p in SRC.rglob("*.[ch]pp") if p != allowed
                 for n, line in code_lines(p)
                 if re.search(r"PyEval_SaveThread|Py_BEGIN_ALLOW_THREADS", line)]
    assert offenders == []
