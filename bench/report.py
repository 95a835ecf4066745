"""Runs benchmarks and writes their tables as JSON (make bench-report).

    python bench/report.py --out FILE [--only atomic,map,...] [--threads 1,2]

Every bench_*.py prints markdown tables; this runs each one's main() in this
process, shows its output as it comes, and parses the tables it printed, so
the benchmarks stay plain scripts and a new table or column is picked up
without changes here. The JSON records the interpreter and the machine with
the tables; bench/plot.py draws the documentation's plots from it.
"""
import argparse
import contextlib
import datetime
import importlib.util
import io
import json
import os
import pathlib
import platform
import sys
import sysconfig

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))


class Tee(io.TextIOBase):
    def __init__(self, *streams):
        self.streams = streams

    def write(self, s):
        for st in self.streams:
            st.write(s)
        return len(s)

    def flush(self):
        for st in self.streams:
            st.flush()


def parse_tables(text):
    """Markdown tables under '## title' headings -> [{title, columns, rows}]."""
    tables, title, current = [], None, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("## "):
            title, current = line[3:].strip(), None
        elif line.startswith("|") and line.endswith("|"):
            cells = [c.strip() for c in line[1:-1].split("|")]
            if current is None:
                current = {"title": title, "columns": cells, "rows": []}
                tables.append(current)
            elif all(set(c) <= set("-: ") for c in cells):
                continue
            else:
                current["rows"].append(cells)
        else:
            current = None
    return tables


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "processors_usable": len(os.sched_getaffinity(0)),
        "load_average_at_start": list(os.getloadavg()),
        "system": f"{platform.system()} {platform.release()}",
    }


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--only", default="", help="comma-separated bench names (default: all but scaling)")
    ap.add_argument("--threads", default="1,2", help="thread counts of the scaling bench")
    args = ap.parse_args(argv)
    names = [n for n in args.only.split(",") if n] or [
        p.stem.removeprefix("bench_") for p in sorted(here.glob("bench_*.py")) if p.stem != "bench_scaling"]

    result = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": sys.version.split()[0] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""),
        "gil_enabled": None,  # after the run: importing a peer could turn the GIL back on
        "machine": machine(),
        "benches": {},
    }
    for name in names:
        path = here / f"bench_{name}.py"
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        captured = io.StringIO()
        print(f"\n# {name}", flush=True)
        with contextlib.redirect_stdout(Tee(sys.stdout, captured)):
            if name == "scaling":
                mod.main(["--threads", args.threads])
            else:
                mod.main()
        result["benches"][name] = parse_tables(captured.getvalue())

    result["gil_enabled"] = getattr(sys, "_is_gil_enabled", lambda: True)()
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=1) + "\n")
    print(f"\nwrote {out}")


if __name__ == "__main__":
    main(sys.argv[1:])
