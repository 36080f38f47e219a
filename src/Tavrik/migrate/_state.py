"""Model state: what the declared models say the schema is, as plain data a
revision file records, and the changes between two states.

A state maps each table name to the list of its columns, each a ``Column``
dict: the column's name, its property class's name, the class's positional
arguments (a string's length, a decimal's precision and scale), and its
options (nullable, primaryKey, unique, index, and default when it declares
one).  Models are classes whose columns are set by their metaclass at run
time: ``Any`` here.
"""
from __future__ import annotations

import copy
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

Column = Dict[str, Any]
State = Dict[str, List[Column]]
# One change between two states: (operation name, arguments).
Change = Tuple[str, Tuple[Any, ...]]

_OPTIONS = ("nullable", "primaryKey", "unique", "index")
# What alter_column changes; unique and index are indexes of their own.
_DECLARATION = ("type", "args", "nullable", "primaryKey", "default")


def _property_class(prop: Any) -> type:
    from Tavrik.Model import ModelProperty

    for cls in type(prop).__mro__:
        if getattr(ModelProperty, cls.__name__, None) is cls:
            return cls
    raise TypeError("column %r: %s is not a column type" % (prop.column, type(prop).__name__))


def column_of(prop: Any, indexed: bool = False) -> Column:
    """The recorded form of a declared column (``indexed``: a relation looks
    rows up by it, so generate_table indexes it)."""
    cls = _property_class(prop)
    args: List[Any] = []
    if cls.__name__ == "StrProperty":
        args = [prop.length]
    elif cls.__name__ == "DecimalProperty":
        args = list(prop.typeArgs)
    col: Column = {"name": prop.column, "type": cls.__name__, "args": args}
    for option in _OPTIONS:
        col[option] = bool(getattr(prop, option))
    if indexed and not col["unique"]:
        col["index"] = True
    if prop.hasDefault:
        col["default"] = _sentinel_class(prop.declaredDefault)
    return col


def _sentinel_class(value: Any) -> Any:
    # The sentinels may be given as the class or an instance: recorded as the class.
    from Tavrik.Model.ModelProperty import AutoIncrement, NullDefault

    for sentinel in (AutoIncrement, NullDefault):
        if value is sentinel or isinstance(value, sentinel):
            return sentinel
    return value


def declared_state() -> State:
    """The state of every model declared so far (the latest class of each
    table name), with the indexes generate_table would make."""
    from Tavrik.Ext import _declared_models, _relation_columns

    models = _declared_models()
    relation = _relation_columns(models)
    state: State = {}
    for model in models:
        cols = list(model.col)
        lone_key = sum(1 for c in cols if c.primaryKey) == 1
        looked_up = {id(c) for m, c in relation if m is model}
        state[model.tableName] = [
            column_of(c, id(c) in looked_up and not (c.primaryKey and lone_key)) for c in cols]
    return state


def make_property(col: Column) -> Any:
    """A column property built from its recorded form."""
    from Tavrik.Model import ModelProperty

    cls = getattr(ModelProperty, col["type"])
    options: Dict[str, Any] = {k: bool(col.get(k, False)) for k in _OPTIONS}
    if "default" in col:
        options["default"] = col["default"]
    return cls(*col["args"], name=col["name"], **options)


def find(columns: Sequence[Column], name: str) -> Optional[Column]:
    for col in columns:
        if col["name"] == name:
            return col
    return None


def _same(a: Column, b: Column, keys: Sequence[str]) -> bool:
    return all(a.get(k, _MISSING) == b.get(k, _MISSING) for k in keys)


_MISSING = object()


def diff(old: Mapping[str, List[Column]], new: Mapping[str, List[Column]],
         renames: Mapping[Tuple[str, str], str],
         table_renames: Optional[Mapping[str, str]] = None) -> Tuple[List[Change], List[Change]]:
    """(upgrade changes, downgrade changes) that turn ``old`` into ``new``;
    ``renames`` maps (table, old column) to the new column name, the table
    by its new name, and ``table_renames`` an old table name to its new one
    (renames are never guessed)."""
    up: List[Change] = []
    down: List[Change] = []
    old = dict(old)
    for before, after in (table_renames or {}).items():
        if before not in old:
            raise ValueError("--rename-table %s:%s: no table %r at the last revision" % (before, after, before))
        if after not in new or after in old:
            raise ValueError("--rename-table %s:%s: the models declare no new table %r" % (before, after, after))
        up.append(("rename_table", (before, after)))
        down.insert(0, ("rename_table", (after, before)))
        old[after] = old.pop(before)
    for table, columns in new.items():
        if table not in old:
            up.append(("create_table", (table, copy.deepcopy(columns))))
            down.insert(0, ("drop_table", (table,)))
    for table, was in old.items():
        if table not in new:
            continue
        now = new[table]
        current = copy.deepcopy(was)
        for (t, before), after in renames.items():
            if t != table:
                continue
            col = find(current, before)
            if col is None:
                raise ValueError("--rename %s.%s: table %r has no column %r" % (t, before, t, before))
            up.append(("rename_column", (table, before, after)))
            down.insert(0, ("rename_column", (table, after, before)))
            col["name"] = after
        for col in now:
            prior = find(current, col["name"])
            if prior is None:
                up.append(("add_column", (table, copy.deepcopy(col))))
                down.insert(0, ("drop_column", (table, col["name"])))
                continue
            for kind in ("unique", "index"):
                if prior[kind] and not col[kind]:
                    up.append(("drop_index", (table, col["name"], kind == "unique")))
                    down.insert(0, ("add_index", (table, col["name"], kind == "unique")))
            if bool(prior["primaryKey"]) != bool(col["primaryKey"]):
                raise ValueError("%r.%r: a change of the primary key is not made by make: write that revision "
                                 "by hand (op.execute), its data and every key that refers to it in mind"
                                 % (table, col["name"]))
            if not _same(prior, col, _DECLARATION):
                up.append(("alter_column", (table, _declaration(col))))
                down.insert(0, ("alter_column", (table, _declaration(prior))))
            for kind in ("unique", "index"):
                if col[kind] and not prior[kind]:
                    up.append(("add_index", (table, col["name"], kind == "unique")))
                    down.insert(0, ("drop_index", (table, col["name"], kind == "unique")))
        for col in current:
            if find(now, col["name"]) is None:
                up.append(("drop_column", (table, col["name"])))
                down.insert(0, ("add_column", (table, copy.deepcopy(col))))
    for table, columns in old.items():
        if table not in new:
            up.append(("drop_table", (table,)))
            down.insert(0, ("create_table", (table, copy.deepcopy(columns))))
    return up, down


def _declaration(col: Column) -> Column:
    # An alteration changes the declaration only: the column keeps the
    # indexes it has at that point, which add_index/drop_index change.
    return {k: copy.deepcopy(v) for k, v in col.items() if k not in ("unique", "index")}


DROPS_DATA = frozenset(("drop_table", "drop_column"))
# Type changes every stored value survives; any other one may lose data.
_WIDER = frozenset((("IntProperty", "BigIntProperty"), ("StrProperty", "TextProperty"),
                    ("BoolProperty", "IntProperty"), ("BoolProperty", "BigIntProperty")))


def narrows(prior: Column, col: Column) -> bool:
    """Whether changing ``prior`` into ``col`` may cut or refuse stored values:
    a shorter string, a decimal with fewer digits, another type that does
    not hold every value of the old one."""
    a, b = prior["type"], col["type"]
    if a != b:
        return (a, b) not in _WIDER
    if a == "StrProperty":
        return bool(col["args"][0] < prior["args"][0])
    if a == "DecimalProperty":
        (p0, s0), (p1, s1) = prior["args"], col["args"]
        return bool(s1 < s0 or p1 - s1 < p0 - s0)
    return False


def data_dropping(before: State, changes: Sequence[Change]) -> List[str]:
    """The changes of a revision going up from ``before`` that drop or may
    cut data: drops of tables and columns, and narrowing alterations."""
    out = set()
    tables: Dict[str, str] = {}  # a table's name now -> in ``before``
    names: Dict[Tuple[str, str], str] = {}  # (table, column now) -> column in ``before``
    for name, args in changes:
        if name in DROPS_DATA:
            out.add(name)
        elif name == "rename_table":
            old_table: str = args[0]
            tables[args[1]] = tables.get(old_table, old_table)
        elif name == "rename_column":
            old_name: str = args[1]
            names[(args[0], args[2])] = names.get((args[0], old_name), old_name)
        elif name == "alter_column":
            table: str = args[0]
            col: Column = args[1]
            column: str = col["name"]
            prior = find(before.get(tables.get(table, table), []), names.get((table, column), column))
            if prior is not None and narrows(prior, col):
                out.add("a narrowing alter_column")
    return sorted(out)
