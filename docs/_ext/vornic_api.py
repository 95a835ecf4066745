"""The API reference, generated from the built module and its stubs.

The classes of an extension module report ``__module__ == "builtins"``, so
autodoc's member discovery would skip every one of them. The reference is
driven from the module's ``__all__`` instead: the signatures and types come
from the stub file (``_vornic.pyi``), the docstrings from the imported module
itself, so nothing is copied by hand and nothing can drift. The build fails
when a name in ``__all__`` has no entry in the stubs, when the stubs describe a
member the module lacks, or when a public member of a class is missing from
the stubs.

    .. vornic-api::           the whole reference, one section per public name
    .. vornic-doc:: Channel.send
                              the module's docstring of one object, as text
"""
import ast
import importlib
import inspect
import re
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

# Members the reference leaves out: construction is the class signature, and
# run-time subscription is said once on the class.
SKIPPED = {"__new__", "__init__", "__class_getitem__"}


def _public_typevar(text):
    """Stub-private type names read better without their underscore: _T -> T."""
    return re.sub(r"(?<![\w.])_([A-Z]\w*)", r"\1", text)


def _signature(fn, drop_first):
    args = fn.args
    parts = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        if drop_first and i == 0:
            continue
        text = arg.arg
        if arg.annotation is not None:
            text += f": {ast.unparse(arg.annotation)}"
        if default is not None:
            text += f" = {ast.unparse(default)}" if arg.annotation is not None else f"={ast.unparse(default)}"
        parts.append(text)
        if args.posonlyargs and arg is args.posonlyargs[-1]:
            parts.append("/")
    if args.vararg is not None:
        v = args.vararg
        parts.append(f"*{v.arg}" + (f": {ast.unparse(v.annotation)}" if v.annotation else ""))
    elif args.kwonlyargs:
        parts.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        text = arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        if default is not None:
            text += f" = {ast.unparse(default)}"
        parts.append(text)
    if args.kwarg is not None:
        k = args.kwarg
        parts.append(f"**{k.arg}" + (f": {ast.unparse(k.annotation)}" if k.annotation else ""))
    sig = f"({', '.join(parts)})"
    if fn.returns is not None:
        sig += f" -> {ast.unparse(fn.returns)}"
    return _public_typevar(sig)


def _decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def _body(statements):
    """A stub body with version branches resolved to the newest interpreter's
    branch: the reference describes the newest supported Python."""
    for st in statements:
        if isinstance(st, ast.If):
            yield from _body(st.body)
        else:
            yield st


class Stubs:
    def __init__(self, path):
        self.path = Path(path)
        tree = ast.parse(self.path.read_text(), str(self.path))
        self.defs = {}      # name -> list of ClassDef / FunctionDef (overloads)
        self.aliases = {}   # name -> annotation text of module-level TypeAliases
        self.all = None
        for st in _body(tree.body):
            if isinstance(st, (ast.ClassDef, ast.FunctionDef)):
                self.defs.setdefault(st.name, []).append(st)
            elif isinstance(st, ast.AnnAssign) and isinstance(st.target, ast.Name) and st.value is not None:
                if ast.unparse(st.annotation) == "TypeAlias":
                    self.aliases[st.target.id] = ast.unparse(st.value)
            elif isinstance(st, ast.Assign) and any(
                    isinstance(t, ast.Name) and t.id == "__all__" for t in st.targets):
                self.all = list(ast.literal_eval(st.value))


def _check(module, stubs):
    problems = []
    exported = list(module.__all__)
    for name in exported:
        if name not in stubs.defs:
            problems.append(f"{name} is in {module.__name__}.__all__ but has no entry in {stubs.path.name}")
        if not hasattr(module, name):
            problems.append(f"{name} is in {module.__name__}.__all__ but not an attribute of the module")
    if stubs.all is not None and sorted(stubs.all) != sorted(exported):
        problems.append(f"__all__ of {stubs.path.name} {sorted(stubs.all)} differs from the module's {sorted(exported)}")
    for name in exported:
        obj = getattr(module, name, None)
        if not isinstance(obj, type) or name not in stubs.defs:
            continue
        cls = stubs.defs[name][0]
        described = {st.name for st in _body(cls.body) if isinstance(st, ast.FunctionDef)}
        for member in sorted(described - SKIPPED):
            if not hasattr(obj, member):
                problems.append(f"{stubs.path.name} describes {name}.{member}, which the module lacks")
        for member in sorted(vars(obj)):
            if not member.startswith("_") and member not in described:
                problems.append(f"{name}.{member} has no entry in {stubs.path.name}")
    if problems:
        raise ExtensionError("API reference:\n  " + "\n  ".join(problems))


def _class_rst(name, cls_def, obj):
    lines = []
    new = [st for st in _body(cls_def.body) if isinstance(st, ast.FunctionDef) and st.name == "__new__"]
    sig = _signature(new[0], drop_first=True).split(" -> ")[0] if new else ""
    lines.append(f".. py:class:: {name}{sig}")
    if "final" in _decorators(cls_def):
        lines.append("   :final:")
    lines.append("")
    params = [ast.unparse(b) for b in cls_def.bases if ast.unparse(b).startswith("Generic[")]
    lines.append(f"   .. vornic-doc:: {name}")
    lines.append("")
    if params:
        lines.append(f"   Generic in ``{_public_typevar(params[0][len('Generic['):-1])}``: "
                     f"``{name}[...]`` subscripts at run time, for annotations.")
        lines.append("")
    if not any(d == "final" for d in _decorators(cls_def)):
        lines.append("   Open to subclassing.")
        lines.append("")
    members = {}
    for st in _body(cls_def.body):
        if isinstance(st, ast.FunctionDef) and st.name not in SKIPPED:
            members.setdefault(st.name, []).append(st)
    for member, defs in members.items():
        decos = _decorators(defs[0])
        if "property" in decos:
            lines.append(f"   .. py:property:: {member}")
            if defs[0].returns is not None:
                lines.append(f"      :type: {_public_typevar(ast.unparse(defs[0].returns))}")
        else:
            sigs = [_signature(d, drop_first=True) for d in defs if "overload" in _decorators(d)] or \
                [_signature(defs[-1], drop_first=True)]
            kind = "classmethod" if "classmethod" in decos else "method"
            lines.append(f"   .. py:{kind}:: {member}{sigs[0]}")
            for s in sigs[1:]:
                lines.append(f"      {' ' * len(kind)}   {member}{s}")
        lines.append("")
        lines.append(f"      .. vornic-doc:: {name}.{member}")
        lines.append("")
    return lines


def _function_rst(name, defs):
    sigs = [_signature(d, drop_first=False) for d in defs if "overload" in _decorators(d)] or \
        [_signature(defs[-1], drop_first=False)]
    lines = [f".. py:function:: {name}{sigs[0]}"]
    lines += [f"                 {name}{s}" for s in sigs[1:]]
    lines += ["", f"   .. vornic-doc:: {name}", ""]
    return lines


class ApiDirective(SphinxDirective):
    has_content = False

    def run(self):
        config = self.env.config
        module = importlib.import_module(config.vornic_api_module)
        stub_path = Path(self.env.srcdir, config.vornic_api_stubs).resolve()
        self.env.note_dependency(str(stub_path))
        stubs = Stubs(stub_path)
        _check(module, stubs)
        rst = [f".. py:module:: {module.__name__}", "   :no-index:", ""]
        for name in module.__all__:
            defs = stubs.defs[name]
            rst += [name, "-" * len(name), ""]
            if isinstance(defs[0], ast.ClassDef):
                rst += _class_rst(name, defs[0], getattr(module, name))
            else:
                rst += _function_rst(name, defs)
        if stubs.aliases:
            title = "Type aliases used above"
            rst += [title, "-" * len(title), "",
                    f"Names the stubs use in signatures (they exist only in ``{stub_path.name}``).", ""]
            for alias, value in stubs.aliases.items():
                rst += [f".. py:data:: {_public_typevar(alias)}", "   :no-index:", "",
                        "   .. code-block:: python", "", f"      {_public_typevar(value)}", ""]
        container = nodes.section()
        container.document = self.state.document
        nested_parse_with_titles(self.state, StringList(rst, source=str(stub_path)), container)
        return container.children


class DocDirective(SphinxDirective):
    """The module's own docstring of one object, as plain paragraphs: docstrings
    are written as text, not reStructuredText, so they are not parsed as such."""
    required_arguments = 1
    option_spec = {"module": directives.unchanged}

    def run(self):
        module = importlib.import_module(self.options.get("module", self.env.config.vornic_api_module))
        obj = module
        for part in self.arguments[0].split("."):
            obj = getattr(obj, part)
        if isinstance(obj, property) or inspect.isdatadescriptor(obj):
            doc = obj.__doc__ or ""
        else:
            doc = inspect.getdoc(obj) or ""
        result = []
        for block in re.split(r"\n\s*\n", doc.strip()):
            if block.strip():
                result.append(nodes.paragraph(block, block))
        return result


def setup(app):
    app.add_config_value("vornic_api_module", "_vornic", "env")
    app.add_config_value("vornic_api_stubs", "../src/_vornic.pyi", "env")
    app.add_directive("vornic-api", ApiDirective)
    app.add_directive("vornic-doc", DocDirective)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
