"""The typed API: the installed stubs against the built module (mypy's
stubtest), the README tour against the stubs (mypy --strict), and the generic
classes subscripted at run time."""
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import _vornic
from _vornic import AtomicReference, Channel, ConcurrentMap, RecvOp, SendOp

ROOT = Path(__file__).resolve().parents[2]
TOUR = ROOT / "tests" / "typing" / "tour.py"
README = ROOT / "README.md"
STUB = ROOT / "src" / "_vornic.pyi"

# Without mypy compiled for the interpreter (a debug or free-threaded build)
# the checks run as plain Python and take minutes rather than seconds.
CHECK_LIMIT = 600


def run(args, cwd):
    """Runs a Python module in a fresh interpreter; returns (exit code, output)."""
    proc = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=CHECK_LIMIT)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.timeout(CHECK_LIMIT + 60)
def test_installed_stubs_match_the_module(tmp_path):
    site = Path(_vornic.__file__).parent
    beside, package = site / "_vornic.pyi", site / "_vornic-stubs" / "__init__.pyi"
    assert beside.read_text() == package.read_text()
    if STUB.is_file():
        assert beside.read_text() == STUB.read_text(), "the installed stubs are not the ones in the sources"
    # Run away from the sources, so that what is checked is what pip installed.
    assert run(["-m", "mypy.stubtest", "_vornic"], tmp_path) == (0, "Success: no issues found in 1 module\n")


@pytest.mark.skipif(not TOUR.is_file(), reason="sources not present")
@pytest.mark.timeout(CHECK_LIMIT + 60)
def test_readme_and_tour_type_check_strictly(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)
    assert len(blocks) >= 5
    files = []
    for i, block in enumerate(blocks):
        files.append(tmp_path / f"readme_{i}.py")
        files[-1].write_text(block)
    code, out = run(["-m", "mypy", "--strict", "--no-error-summary", str(TOUR), *map(str, files)], tmp_path)
    assert (code, out) == (0, "")


@pytest.mark.skipif(not TOUR.is_file(), reason="sources not present")
def test_tour_runs():
    code, out = run([str(TOUR)], ROOT)
    assert (code, out) == (0, "")


@pytest.mark.parametrize("cls, args", [(Channel, (int,)), (RecvOp, (str,)), (SendOp, (bytes,)),
                                       (ConcurrentMap, (str, int)), (AtomicReference, (int,))])
def test_generic_classes_subscript_at_run_time(cls, args):
    alias = cls[args]
    assert type(alias) is types.GenericAlias
    assert (alias.__origin__, alias.__args__) == (cls, args)
    assert alias == cls[args] and repr(alias) == f"{cls.__name__}[{', '.join(a.__name__ for a in args)}]"
    with pytest.raises(TypeError):
        isinstance(object(), alias)
    if cls in (Channel, ConcurrentMap, AtomicReference):
        assert type(alias()) is cls
    if cls is ConcurrentMap:
        class Counts(alias):
            pass
        assert Counts.__mro__[1] is ConcurrentMap and Counts.__orig_bases__ == (alias,)
