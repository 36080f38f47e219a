"""The request and response schemas of a model, published as the model
classes' ``createSchema``, ``updateSchema`` and ``readSchema``.

A model's own pydantic model (``Model.MODEL``) describes a loaded row; a
body that creates or changes a row needs other rules: no key the database
assigns, optional what has a default, and the column's limits (string
length, decimal digits) checked before the statement, so an over-long value
is a 422, not a database error.  Built once per class and arguments.
"""
from __future__ import annotations

import decimal
import weakref
from typing import Any, Callable, Dict, List, MutableMapping, Optional, Tuple, Type

from pydantic import BaseModel, ConfigDict, Field, create_model

__all__ = ["createSchema", "readSchema", "updateSchema"]

_cache: "weakref.WeakKeyDictionary[type, Dict[Tuple[str, int], Type[BaseModel]]]" = weakref.WeakKeyDictionary()


def _cached(cls: type, kind: str, depth: int) -> Tuple[MutableMapping[Tuple[str, int], Type[BaseModel]], Optional[Type[BaseModel]]]:
    per_class = _cache.setdefault(cls, {})
    return per_class, per_class.get((kind, depth))


def _limits(prop: Any) -> Dict[str, Any]:
    length = prop.length
    if length is not None and prop.valueType is str:
        return {"max_length": length}
    if prop.valueType is decimal.Decimal:
        args = tuple(prop.typeArgs)
        if len(args) == 2:
            return {"max_digits": args[0], "decimal_places": args[1]}
    return {}


def _annotation(prop: Any, nullable: bool) -> Any:
    vt = prop.valueType if prop.valueType is not None else Any
    return Optional[vt] if nullable else vt


def _build(cls: Any, suffix: str, fields: Dict[str, Any], config: ConfigDict) -> Type[BaseModel]:
    model: Type[BaseModel] = create_model(f"{cls.__name__}{suffix}", __config__=config, **fields)
    return model


def _body(cls: Any, kind: str, skip: str, default: Callable[[Any], Any]) -> Type[BaseModel]:
    """A request body of `kind` ("create", "update"): every column but those
    whose flag `skip` is set, each with `default(prop)` and its limits."""
    per_class, hit = _cached(cls, kind, 0)
    if hit is not None:
        return hit
    fields: Dict[str, Any] = {}
    for prop in cls.col:
        if getattr(prop, skip):
            continue
        value = default(prop)
        fields[prop.name] = (_annotation(prop, prop.nullable), Field(value, **_limits(prop)))
    model = _build(cls, kind.capitalize(), fields, ConfigDict(extra="forbid"))
    per_class[(kind, 0)] = model
    return model


def _create_default(prop: Any) -> Any:
    return prop.Default if prop.hasDefault else (None if prop.nullable else ...)


def _update_default(prop: Any) -> Any:
    # A default is not validated: left out is fine everywhere, while an
    # explicit None passes only where the column can hold it.
    return None


def createSchema(cls: Any) -> Type[BaseModel]:
    """创建一行的请求体: 不含数据库分配的自增主键; 有默认值或可为空的列可省略, 其余列必填;
    字符串列带 max_length, 小数列带 max_digits/decimal_places; 未知字段引发校验错误 (extra="forbid")。"""
    return _body(cls, "create", "autoIncrement", _create_default)


def updateSchema(cls: Any) -> Type[BaseModel]:
    """部分更新一行的请求体: 每个字段都可省略 (省略的与设为 None 的可以区分:
    model_dump(exclude_unset=True)); 主键不可更新; 约束同 createSchema; extra="forbid"。"""
    return _body(cls, "update", "primaryKey", _update_default)


def readSchema(cls: Any, depth: int = 1) -> Type[BaseModel]:
    """读出一行的响应模型: 所有列, 以及深度 depth 以内的关联 (一对一为可选对象, 一对多/多对多为列表,
    关联行同样是读出模型); from_attributes: 行 (可按属性访问的字典) 与已加载的关联可直接校验。"""
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError(f"depth must be an int, not {type(depth).__name__}")
    if depth < 0:
        raise ValueError("depth must be at least 0")
    per_class, hit = _cached(cls, "read", depth)
    if hit is not None:
        return hit
    from Tavrik.Model.ModelProperty import ForeignType

    fields: Dict[str, Any] = {}
    for prop in cls.col:
        fields[prop.name] = (_annotation(prop, prop.nullable), Field(None if prop.nullable else ...))
    if depth > 0:
        for fk in cls.fk:
            target = fk.directTarget
            nested = readSchema(target, depth - 1)
            if fk["Type"] == ForeignType.ONE_TO_ONE:
                fields[fk["name"]] = (Optional[nested], None)
            else:
                fields[fk["name"]] = (List[nested], Field(default_factory=list))  # type: ignore[valid-type]
    model = _build(cls, f"Read{depth}" if depth != 1 else "Read", fields, ConfigDict(from_attributes=True))
    per_class[("read", depth)] = model
    return model
