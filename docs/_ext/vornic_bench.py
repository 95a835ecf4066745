"""Benchmark tables on the documentation pages, from the committed results.

    .. vornic-bench:: bench/results-gil.json
       :bench: channel          (default: every bench in the file)
       :machine:                (flag: a line saying where and when it ran)

The JSON is what bench/report.py wrote (make bench-report); the tables are
shown as the benchmarks printed them, so the page never holds a hand-copied
figure.
"""
import json
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective


def _table(columns, rows):
    table = nodes.table()
    group = nodes.tgroup(cols=len(columns))
    table += group
    for _ in columns:
        group += nodes.colspec(colwidth=1)

    def row(cells):
        r = nodes.row()
        for c in cells:
            entry = nodes.entry()
            entry += nodes.paragraph(c, c)
            r += entry
        return r

    head = nodes.thead()
    head += row(columns)
    body = nodes.tbody()
    for cells in rows:
        body += row(cells + [""] * (len(columns) - len(cells)))
    group += head
    group += body
    return table


def machine_line(data):
    m = data["machine"]
    load = ", ".join(f"{x:.1f}" for x in m.get("load_average_at_start", []))
    return (f"Python {data['python']} (GIL {'on' if data['gil_enabled'] else 'off'}), "
            f"{m['processors_usable']} usable processors ({m['cpu']}), {m['system']}, "
            f"{data['date']}; load average when it started: {load}.")


class BenchDirective(SphinxDirective):
    required_arguments = 1
    option_spec = {"bench": directives.unchanged, "machine": directives.flag}

    def run(self):
        rel, path = self.env.relfn2path(self.arguments[0])
        self.env.note_dependency(rel)
        data = json.loads(Path(path).read_text())
        result = []
        if "machine" in self.options:
            text = machine_line(data)
            result.append(nodes.paragraph(text, text))
        names = [self.options["bench"]] if self.options.get("bench") else list(data["benches"])
        for name in names:
            if name not in data["benches"]:
                raise self.error(f"{self.arguments[0]} holds no results of the {name!r} bench")
            for t in data["benches"][name]:
                if t["title"]:
                    result.append(nodes.rubric(t["title"], t["title"]))
                result.append(_table(t["columns"], t["rows"]))
        return result


def setup(app):
    app.add_directive("vornic-bench", BenchDirective)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
