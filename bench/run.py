"""Runs every bench/bench_*.py and prints its ratio tables (make bench)."""
import importlib.util
import pathlib
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
only = sys.argv[1:]
for path in sorted(here.glob("bench_*.py")):
    if only and path.stem.removeprefix("bench_") not in only:
        continue
    spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    mod.main()
