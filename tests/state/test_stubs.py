"""The .pyi stubs of the compiled modules say what the modules hold.

Each stub is parsed with ``ast`` and compared with the imported module:

- names: every public name the module binds from the vornix package (its own
  functions, classes and singletons, and the framework names the C++ looks up
  on the module) is declared, and nothing else public is;
- re-exports (``from X import Y as Z``) are the very objects the module binds;
- functions and methods: parameter names, kinds, order and defaults equal the
  runtime's, read from ``inspect.signature`` or, for pybind11 functions, from
  the signature line of their docstring;
- the classes defined in C++: their members with the same descriptor kind
  (property, classmethod, staticmethod), and the instance attributes their
  ``__init__`` creates (read from the module's singleton of that class).
"""

import ast
import importlib
import importlib.util
import inspect
from pathlib import Path

import pytest

MODULES = [
    "vornix.tframe.sysstate",
    "vornix.tframe.ualgo",
    "vornix.api.subscribe._subscribe",
    "vornix.api.subscribe._windows",
]
# Classes built in C++, with the module attribute holding an instance of each.
CLASSES = [
    ("vornix.tframe.sysstate", "SystemBaseVar", "vr"),
    ("vornix.tframe.sysstate", "SystemBaseEnv", "env"),
]
DESCRIPTORS = {property: "property", classmethod: "classmethod", staticmethod: "staticmethod"}


# --- reading the stub -----------------------------------------------------------------


class Stub:
    """Top-level declarations of one .pyi file."""

    def __init__(self, path):
        self.tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        self.functions, self.classes, self.variables = {}, {}, {}
        self.reexports = {}  # name -> (source module, name there)
        imported = {}
        for node in self.tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                self.variables[node.target.id] = node.annotation
            elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
                # `Z = Y` with Y imported re-exports Y as Z
                source = imported.get(node.value.id)
                for target in node.targets:
                    if source is not None:
                        self.reexports[target.id] = source
                    else:
                        self.variables[target.id] = None
            elif isinstance(node, ast.Assign):
                for target in node.targets:
                    self.variables[target.id] = None
            elif isinstance(node, ast.ImportFrom):
                # only a public `import Y as Z` exports a name; the others serve annotations
                for alias in node.names:
                    bound = alias.asname or alias.name
                    imported[bound] = (node.module, alias.name)
                    if alias.asname is not None and not bound.startswith("_"):
                        self.reexports[bound] = (node.module, alias.name)

    def public_names(self):
        names = set(self.functions) | set(self.classes) | set(self.variables) | set(self.reexports)
        return {n for n in names if not n.startswith("_")}


def stub_path(modname):
    origin = Path(importlib.util.find_spec(modname).origin)
    return origin.parent / (modname.rsplit(".", 1)[1] + ".pyi")


@pytest.fixture(scope="module", params=MODULES)
def pair(request):
    modname = request.param
    path = stub_path(modname)
    assert path.is_file(), "no stub beside the compiled module: %s" % path
    return importlib.import_module(modname), Stub(path)


# --- reading the runtime --------------------------------------------------------------


def defined_here(obj, modname):
    """Whether obj (or its class) comes from the compiled module itself."""
    where = getattr(obj, "__module__", None)
    return isinstance(where, str) and (where == modname or modname.endswith("." + where))


def from_package(obj):
    if inspect.ismodule(obj):
        return obj.__name__.startswith("vornix.")
    where = getattr(obj, "__module__", None)
    return isinstance(where, str) and where.split(".")[0] in ("vornix", "tframe")


def runtime_public(mod):
    names = {n for n, v in vars(mod).items() if not n.startswith("_") and from_package(v)}
    return names | set(getattr(mod, "__all__", ()))


EMPTY = object()  # no default


def params_of_ast(args):
    """[(name, kind, default node or EMPTY)] of an ast.arguments."""
    out = []
    positional = args.posonlyargs + args.args
    defaults = [EMPTY] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for i, (a, d) in enumerate(zip(positional, defaults)):
        kind = "POSITIONAL_ONLY" if i < len(args.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        out.append((a.arg, kind, d))
    if args.vararg:
        out.append((args.vararg.arg, "VAR_POSITIONAL", EMPTY))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        out.append((a.arg, "KEYWORD_ONLY", EMPTY if d is None else d))
    if args.kwarg:
        out.append((args.kwarg.arg, "VAR_KEYWORD", EMPTY))
    return out


def runtime_params(func):
    """[(name, kind, default or EMPTY)] of a runtime callable.  pybind11 functions
    carry no __signature__: their docstring's first line is their signature."""
    try:
        sig = inspect.signature(func)
    except (TypeError, ValueError):
        line = func.__doc__.splitlines()[0]
        head = line.rsplit(" -> ", 1)[0]
        tree = ast.parse("def %s: ..." % head)
        return [
            (n, k, EMPTY if d is EMPTY else ast.literal_eval(d))
            for n, k, d in params_of_ast(tree.body[0].args)
        ]
    return [
        (
            p.name,
            p.kind.name,
            EMPTY if p.default is inspect.Parameter.empty else p.default,
        )
        for p in sig.parameters.values()
    ]


def is_literal(value):
    try:
        again = ast.literal_eval(repr(value))
    except (ValueError, SyntaxError):
        return False
    return type(again) is type(value) and again == value


def check_params(where, stub_args, func):
    want = runtime_params(func)
    got = params_of_ast(stub_args)
    assert [(n, k) for n, k, _ in got] == [(n, k) for n, k, _ in want], where
    for (name, _, node), (_, _, value) in zip(got, want):
        at = "%s, parameter %s" % (where, name)
        if node is EMPTY or value is EMPTY:
            assert node is EMPTY and value is EMPTY, "%s: default only on one side" % at
        elif isinstance(node, ast.Constant) and node.value is Ellipsis:
            # `= ...` stands for a default no literal can write (NaN)
            assert not is_literal(value), "%s: write the default %r" % (at, value)
        else:
            stub_value = ast.literal_eval(node)
            assert type(stub_value) is type(value) and stub_value == value, at


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


# --- the checks -----------------------------------------------------------------------


def test_package_is_marked_typed():
    import vornix

    assert (Path(vornix.__file__).parent / "py.typed").is_file()


def test_public_names_match(pair):
    mod, stub = pair
    declared, present = stub.public_names(), runtime_public(mod)
    assert sorted(present - declared) == [], "public in the module, missing in the stub"
    assert sorted(declared - present) == [], "in the stub, not public in the module"
    if hasattr(mod, "__all__"):
        assert ast.literal_eval(_all_node(stub)) == list(mod.__all__)


def _all_node(stub):
    for node in stub.tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return node.value
    raise AssertionError("the module has __all__, the stub none")


def test_reexports_are_the_bound_objects(pair):
    mod, stub = pair
    for name, (source, original) in stub.reexports.items():
        try:
            obj = getattr(importlib.import_module(source), original)
        except AttributeError:
            obj = importlib.import_module("%s.%s" % (source, original))
        assert getattr(mod, name) is obj, "%s is not %s.%s" % (name, source, original)
        assert not defined_here(obj, mod.__name__), "%s is the module's own: declare it" % name


def test_functions_match(pair):
    mod, stub = pair
    for name, node in stub.functions.items():
        assert hasattr(mod, name), "stub declares %s, the module has none" % name
        func = getattr(mod, name)
        assert callable(func) and defined_here(func, mod.__name__), name
        check_params("%s.%s" % (mod.__name__, name), node.args, func)


def test_module_variables_have_their_types(pair):
    mod, stub = pair
    for name, annotation in stub.variables.items():
        if name.startswith("_") or annotation is None:
            continue
        assert isinstance(annotation, ast.Name), name
        assert type(getattr(mod, name)).__name__ == annotation.id, name


@pytest.mark.parametrize("modname, cls_name, instance", CLASSES)
def test_classes_match(modname, cls_name, instance):
    mod = importlib.import_module(modname)
    stub = Stub(stub_path(modname))
    cls, node = getattr(mod, cls_name), stub.classes[cls_name]
    assert defined_here(cls, modname)
    members = {n: v for n, v in vars(cls).items() if not n.startswith("_") or n == "__init__"}
    methods = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
    assert sorted(methods) == sorted(members)
    for name, f in methods.items():
        raw = members[name]
        where = "%s.%s.%s" % (modname, cls_name, name)
        kind = DESCRIPTORS.get(type(raw))
        assert decorators(f) == ({kind} if kind else set()), where
        if kind != "property":
            check_params(where, f.args, raw.__func__ if kind else raw)
    attributes = {a.target.id for a in node.body if isinstance(a, ast.AnnAssign)}
    assert sorted(attributes) == sorted(vars(getattr(mod, instance)))
