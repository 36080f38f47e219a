"""Every public callable of the package has a signature that inspect can read
(the extension modules' text signatures), and that signature agrees with the
.pyi stubs the type checkers read: the same parameters, of the same kinds,
with a default where the stubs give one."""
import ast
import importlib
import inspect
import os
import pkgutil

import pytest

import Tavrik

P = inspect.Parameter
POSITIONAL = (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD)

# Parameters whose absence means something no value can stand for (the
# argument is then not passed on at all): the signature gives them no
# default, the stubs mark them optional with "...".
NO_DEFAULT_VALUE = {
    "Tavrik.DB.DB.DB.execute": {"con"},
    "Tavrik.Ext.Olvane.Page": {"content"},
    "Tavrik.Model.ModelProperty.BaseProperty": {"default"},
    **{"Tavrik.Model.ModelProperty.%sProperty" % kind: {"default"} for kind in (
        "Int", "BigInt", "Float", "Decimal", "Str", "Text", "Bool", "Date", "DateTime", "Json", "Bytes")},
}

# Constructors the stubs type through a base the type checkers define
# themselves (dict, list, an enum, an exception) or through dataclass_transform.
CONSTRUCTOR_FROM_ELSEWHERE = {
    "Tavrik.Model.ModelProperty.ForeignType",
    "Tavrik.Ext.Dict.DictPlus",
    "Tavrik.Model.Korvid.InstanceList",
    "Tavrik.Model.Korvid.Korvid",
    "Tavrik.Model.Korvid.MiddleKorvid",
    "Tavrik.Error.Grelt.SqlInStanceError",
    "Tavrik.Error.Grelt.SqlMissingRelationshipError",
    "Tavrik.Error.Grelt.WhereGrelt",
    "Tavrik.Error.Grelt.SetGrelt",
    "Tavrik.Error.Strovy.DBInstanceError",
    "Tavrik.Error.Strovy.DBInstanceCreateError",
    "Tavrik.Error.Strovy.WriteOperateNotInAffairs",
    "Tavrik.Error.Strovy.UpdateWithOutPrimaryKeyError",
    "Tavrik.Error.Strovy.DeleteWithOutPrimaryKeyError",
}


def public_modules():
    for info in pkgutil.walk_packages(Tavrik.__path__, "Tavrik."):
        if not any(part.startswith("_") for part in info.name.split(".")):
            yield importlib.import_module(info.name)


def public_callables():
    """(qualified name, owner class or None, attribute name, object) for every
    public function, class and method (of each class that has it), at the
    module it belongs to."""
    found = []
    for mod in public_modules():
        for name, obj in sorted(vars(mod).items()):
            if name.startswith("_") or getattr(obj, "__module__", None) != mod.__name__:
                continue
            if getattr(obj, "__name__", name) != name:
                continue  # another name for a class checked under its own
            if inspect.isclass(obj) and issubclass(obj, BaseException) and not any(
                    "__init__" in vars(c) or "__new__" in vars(c) for c in obj.__mro__ if c.__module__.startswith("Tavrik")):
                continue  # an exception constructed as every exception is: nothing of ours to read
            qual = "%s.%s" % (mod.__name__, name)
            if inspect.isclass(obj):
                found.append((qual, None, name, obj))
                for attr in sorted(dir(obj)):
                    # Inherited methods too (a stub may narrow them in a
                    # subclass), as long as the package defines them.
                    definer = next((c for c in obj.__mro__ if attr in vars(c)), None)
                    if definer is None or not definer.__module__.startswith("Tavrik"):
                        continue
                    raw = vars(definer)[attr]
                    if attr.startswith("_") or inspect.isclass(raw):
                        continue  # classes held as class attributes are data
                    if not (callable(raw) or isinstance(raw, (classmethod, staticmethod))):
                        continue
                    found.append(("%s.%s" % (qual, attr), obj, attr, getattr(obj, attr)))
            elif callable(obj):
                found.append((qual, None, name, obj))
    return found


CALLABLES = public_callables()


def test_the_walk_sees_every_module():
    # A module left out would leave its callables unchecked.
    names = {m.__name__ for m in public_modules()}
    assert {"Tavrik.DB.Connector", "Tavrik.DB.Generator", "Tavrik.DB.DB", "Tavrik.Model.ModelProperty",
            "Tavrik.Model.Korvid", "Tavrik.Model.Vantrel", "Tavrik.Ext.Olvane", "Tavrik.Ext.Decorators",
            "Tavrik.Ext.Dict", "Tavrik.Error.Grelt", "Tavrik.Error.Strovy"} <= names
    assert len(CALLABLES) > 150


# ---------------------------------------------------------------- stubs


FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)


class Stub:
    """One .pyi file: its top-level definitions and the names it imports."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
        self.defs, self.imports = {}, {}
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                self.defs[node.name] = node
            elif isinstance(node, FUNCTIONS):
                self.defs.setdefault(node.name, []).append(node)
            elif isinstance(node, ast.ImportFrom) and node.module:
                for alias in node.names:
                    self.imports[alias.asname or alias.name] = (node.module, alias.name)


_stubs = {}


def stub_of(module_name):
    """The parsed stub of a module, or None when the module is Python with no
    stub (it is then its own)."""
    if module_name not in _stubs:
        mod = importlib.import_module(module_name)
        path = mod.__file__
        base = os.path.basename(path)
        if base == "__init__.py":
            path = os.path.join(os.path.dirname(path), "__init__.pyi")
        elif base.endswith(".py"):
            path = path[:-3] + ".pyi"
        else:
            path = os.path.join(os.path.dirname(path), module_name.rsplit(".", 1)[1] + ".pyi")
        _stubs[module_name] = Stub(path) if os.path.exists(path) else None
    return _stubs[module_name]


def lookup(module_name, name):
    """(stub module name, definition) of a name, following the stub's imports."""
    for _ in range(10):
        stub = stub_of(module_name)
        if stub is None:
            return None, None
        if name in stub.defs:
            return module_name, stub.defs[name]
        if name not in stub.imports or not stub.imports[name][0].startswith("Tavrik"):
            return module_name, None
        module_name, name = stub.imports[name]
    raise AssertionError("import cycle in the stubs at %s.%s" % (module_name, name))


def decorators(fn):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", None) for d in fn.decorator_list}


def base_names(cls):
    for b in cls.bases:
        if isinstance(b, ast.Subscript):
            b = b.value
        yield b.id if isinstance(b, ast.Name) else None


def class_member(module_name, cls, name):
    """The stub's definitions (overloads) of `name` in a class or its stub
    bases; None when a base the checkers define is in the way, [] when absent."""
    for base in [cls]:
        body = [n for n in base.body if isinstance(n, FUNCTIONS) and n.name == name]
        if body:
            return body
    for b in base_names(cls):
        if b in ("Generic", "object"):
            continue
        if b is None:
            return None
        where, node = lookup(module_name, b)
        if not isinstance(node, ast.ClassDef):
            return None
        found = class_member(where, node, name)
        if found != []:
            return found
    return []


def params_of_def(fn, drop_first):
    a = fn.args
    positional = [(x.arg, P.POSITIONAL_ONLY) for x in a.posonlyargs] + [(x.arg, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    out = [(n, k, d) for (n, k), d in zip(positional, defaults)]
    if drop_first:
        out = out[1:]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, False))
    out += [(x.arg, P.KEYWORD_ONLY, d is not None) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, False))
    return out


def merged(overloads, drop_first):
    """One parameter list for a set of overloads: their names and kinds must
    agree; a parameter has a default when any overload gives it one."""
    lists = [params_of_def(fn, drop_first) for fn in overloads]
    shape = [(n, k) for n, k, _ in lists[0]]
    for other in lists[1:]:
        assert [(n, k) for n, k, _ in other] == shape, "the stub's overloads disagree: %s" % overloads[0].name
    return [(n, k, any(lst[i][2] for lst in lists)) for i, (n, k) in enumerate(shape)]


def runtime_params(sig, drop_first):
    out = [(p.name, p.kind, p.default is not P.empty) for p in sig.parameters.values()]
    return out[1:] if drop_first else out


def compare(qual, runtime, stub):
    """Runtime and stub parameter lists agree: positional parameters in order,
    keyword-only ones by name, *args/**kwargs alike, and defaults alike."""
    unrepresentable = NO_DEFAULT_VALUE.get(qual, set())
    pos_r = [(n, k, d) for n, k, d in runtime if k in POSITIONAL]
    pos_s = [(n, k, d) for n, k, d in stub if k in POSITIONAL]
    assert [(n, k) for n, k, _ in pos_r] == [(n, k) for n, k, _ in pos_s], "positional parameters differ"
    kw_r = {n: d for n, k, d in runtime if k == P.KEYWORD_ONLY}
    kw_s = {n: d for n, k, d in stub if k == P.KEYWORD_ONLY}
    var_r = {k for _, k, _ in runtime if k in (P.VAR_POSITIONAL, P.VAR_KEYWORD)}
    var_s = {k for _, k, _ in stub if k in (P.VAR_POSITIONAL, P.VAR_KEYWORD)}
    assert set(kw_r) <= set(kw_s), "keyword-only parameters missing from the stub: %s" % (set(kw_r) - set(kw_s))
    extra = set(kw_s) - set(kw_r)
    # The stub may spell out, as named keywords, what the runtime takes as **kwargs.
    assert not extra or P.VAR_KEYWORD in var_r, "keyword-only parameters the runtime lacks: %s" % extra
    assert var_r - {P.VAR_KEYWORD} == var_s - {P.VAR_KEYWORD}, "*args differ"
    assert P.VAR_KEYWORD not in var_s or P.VAR_KEYWORD in var_r, "the stub takes **kwargs, the runtime does not"
    assert P.VAR_KEYWORD not in var_r or P.VAR_KEYWORD in var_s or extra, "the runtime takes **kwargs, the stub not"
    defaults_r = {n: d for n, _, d in pos_r} | kw_r
    defaults_s = {n: d for n, _, d in pos_s} | {n: d for n, d in kw_s.items() if n in kw_r}
    for name, has in defaults_r.items():
        if name in unrepresentable:
            assert not has and defaults_s[name], "%s: no longer a parameter without a default value" % name
        else:
            assert has == defaults_s[name], "default of %s: runtime %s, stub %s" % (name, has, defaults_s[name])


@pytest.mark.parametrize("qual, owner, attr, obj", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_signature_matches_stub(qual, owner, attr, obj):
    sig = inspect.signature(obj)
    # The interpreter strips a text signature from a C docstring, not from a
    # class made at run time: none may show through.
    assert "\n--\n\n" not in (obj.__doc__ or "")
    home = owner.__module__ if owner is not None else obj.__module__
    if stub_of(home) is None:
        return  # a Python module without a stub is its own
    if owner is None and not inspect.isclass(obj):
        where, fns = lookup(home, attr)
        assert isinstance(fns, list), "%s is not a function in the stubs" % qual
        compare(qual, runtime_params(sig, False), merged(fns, False))
        return
    cls_name = owner.__name__ if owner is not None else attr
    where, cls = lookup(home, cls_name)
    assert isinstance(cls, ast.ClassDef), "%s is not a class in the stubs" % cls_name
    if owner is None:
        fns = class_member(where, cls, "__init__")
        if fns is None or qual in CONSTRUCTOR_FROM_ELSEWHERE:
            assert fns is None and qual in CONSTRUCTOR_FROM_ELSEWHERE, "%s: the stub's constructor is found" % qual
            return
        stub = merged(fns, True) if fns else []
        compare(qual, runtime_params(sig, False), stub)
        return
    fns = class_member(where, cls, attr)
    assert fns, "%s is missing from the stubs" % qual
    raw = inspect.getattr_static(owner, attr)
    bound = isinstance(raw, (classmethod, staticmethod)) or getattr(obj, "__self__", None) is owner
    stub_drop = not decorators(fns[0]) & {"staticmethod"}
    compare(qual, runtime_params(sig, not bound), merged(fns, stub_drop))
