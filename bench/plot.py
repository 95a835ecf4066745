"""Draws the documentation's benchmark plots from bench/report.py's JSON.

    python bench/plot.py OUTDIR RESULTS.json [RESULTS.json ...]

For every bench with ratio tables (case, ours, baseline, ..., ours / baseline)
one SVG of horizontal bars, ours over each baseline (below 1 means ours takes
less time), the standard library and the peers told apart by colour. For the
scaling bench, one SVG with a panel per case: operations per second of all
threads together against the thread count, ours, the lock-based baseline and
each installed peer.
"""
import json
import pathlib
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PEERS = ("janus", "culsans", "readerwriterlock", "ft_utils", "cereggii")
COLOURS = {"ours": "#2f6f9f", "stdlib": "#9a9a9a", "peer": "#d08a2c"}
plt.rcParams.update({"svg.fonttype": "none", "font.size": 9, "svg.hashsalt": "vornic"})


def ratio(text):
    m = re.fullmatch(r"([0-9.]+)x", text.strip())
    return float(m.group(1)) if m else None


def is_peer(name):
    return any(p in name for p in PEERS)


def ratio_plot(name, tables, subtitle, out):
    bars = []  # (section, label, ratio, peer?)
    for t in tables:
        cols = t["columns"]
        if not {"case", "baseline", "ours / baseline"} <= set(cols):
            continue
        ci, bi, ri = cols.index("case"), cols.index("baseline"), cols.index("ours / baseline")
        for row in t["rows"]:
            r = ratio(row[ri])
            if r is not None:
                bars.append((t["title"], f"{row[ci]}\nvs {row[bi]}", r, is_peer(row[bi])))
    if not bars:
        return None
    fig, ax = plt.subplots(figsize=(8, 0.42 * len(bars) + 1.2))
    ys = range(len(bars))[::-1]
    ax.barh(list(ys), [b[2] for b in bars], color=[COLOURS["peer"] if b[3] else COLOURS["stdlib"] for b in bars],
            edgecolor=COLOURS["ours"], height=0.7)
    ax.set_yticks(list(ys), [b[1] for b in bars], fontsize=7)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    for y, b in zip(ys, bars):
        ax.annotate(f"{b[2]:.2f}x", (b[2], y), xytext=(3, 0), textcoords="offset points", va="center", fontsize=7)
    ax.set_xlabel("time of ours / time of the other (log scale; below 1: ours is faster)")
    ax.set_title(f"{name}: {subtitle}", fontsize=9)
    from matplotlib.patches import Patch
    ax.legend(handles=[Patch(color=COLOURS["stdlib"], label="vs the standard library"),
                       Patch(color=COLOURS["peer"], label="vs a peer library")], loc="best", fontsize=7)
    fig.tight_layout()
    fig.savefig(out, metadata={"Date": None})
    plt.close(fig)
    return out


def rate(text):
    m = re.search(r"([0-9.]+) M/s", text)
    return float(m.group(1)) * 1e6 if m else None


def scaling_plot(tables, subtitle, out):
    cases = {}  # case -> {series: {threads: ops/s}}
    for t in tables:
        cols = t["columns"]
        if not {"case", "threads", "ours", "baseline"} <= set(cols):
            continue
        for row in t["rows"]:
            cell = dict(zip(cols, row))
            try:
                n = int(cell["threads"])
            except ValueError:
                continue
            ours = rate(cell["ours"])
            if ours is None:
                continue
            series = cases.setdefault(re.sub(r" \(\d+ workers\)", "", cell["case"]), {})
            series.setdefault("ours", {})[n] = ours
            base_name = re.sub(r" [0-9.]+ M/s$", "", cell["baseline"]).strip()
            base = rate(cell["baseline"])
            if base is not None:
                series.setdefault(base_name, {})[n] = base
            others = cell.get("others", cell.get("peers", ""))  # "peers" in results written before "others"
            for peer in filter(None, (p.strip() for p in others.split(","))):
                m = re.fullmatch(r"(.+) ([0-9.]+)x", peer)
                if m and float(m.group(2)) > 0:
                    series.setdefault(m.group(1), {})[n] = ours / float(m.group(2))
    if not cases:
        return None
    cols = 3
    rows = (len(cases) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(9, 2.8 * rows), squeeze=False)
    for ax, (case, series) in zip(axes.flat, cases.items()):
        for label, points in series.items():
            xs = sorted(points)
            colour = COLOURS["ours"] if label == "ours" else COLOURS["peer"] if is_peer(label) else COLOURS["stdlib"]
            style = "-" if label == "ours" else "--" if is_peer(label) else ":"
            ax.plot(xs, [points[x] / 1e6 for x in xs], style, marker="o", color=colour if label != "cereggii" else "#8a5a9f",
                    label=label)
        ax.set_title(case, fontsize=9)
        ax.set_xlabel("threads")
        ax.set_ylabel("M ops/s, all threads")
        ax.set_xticks(sorted({x for p in series.values() for x in p}))
        ax.set_ylim(bottom=0)
        ax.legend(fontsize=6)
    for ax in list(axes.flat)[len(cases):]:
        ax.set_visible(False)
    fig.suptitle(f"Throughput against thread count ({subtitle})", fontsize=10)
    fig.tight_layout()
    fig.savefig(out, metadata={"Date": None})
    plt.close(fig)
    return out


def main(argv):
    outdir = pathlib.Path(argv[0])
    outdir.mkdir(parents=True, exist_ok=True)
    for path in argv[1:]:
        data = json.loads(pathlib.Path(path).read_text())
        subtitle = f"Python {data['python']}, GIL {'on' if data['gil_enabled'] else 'off'}"
        tag = "gil" if data["gil_enabled"] else "ft"
        for name, tables in data["benches"].items():
            if name == "scaling":
                written = scaling_plot(tables, subtitle, outdir / f"scaling-{tag}.svg")
            else:
                written = ratio_plot(name, tables, subtitle, outdir / f"{name}-{tag}.svg")
            if written:
                print(f"wrote {written}")


if __name__ == "__main__":
    main(sys.argv[1:])
