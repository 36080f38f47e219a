"""Relation descriptors, published by ``Tavrik.Model.ModelProperty``.

They are read a few times per relation, never per column value, so they are
plain Python.  Models are classes whose columns and table names are set by
their metaclass at run time, so a model is typed ``Any`` here.
"""
from __future__ import annotations

import enum as _enum
import types as _types
from typing import Any, ClassVar, Iterable, List, Optional, Tuple, Union

from Tavrik.Model.ModelProperty import BaseProperty, FilterListCell, _relation_filter

__all__ = ["ForeignKey", "ForeignType"]


class ForeignType(_enum.IntEnum):
    """外键关系类型"""
    ONE_TO_ONE = 1
    ONE_TO_MANY = 2
    MANY_TO_MANY = 3


def _model_list() -> List[type]:
    from Tavrik.Model.Korvid import _KorvidMeta
    return _KorvidMeta.ModelList


def _resolve_model(ref: Union[type, str]) -> Any:
    if not isinstance(ref, str):
        return ref
    for model in reversed(_model_list()):
        if model.__name__ == ref:
            return model
    raise LookupError("model %r is not declared" % (ref,))


def _column(model: Any, ref: object, what: str) -> Optional[BaseProperty[Any]]:
    if ref is None:
        return None
    if isinstance(ref, BaseProperty):
        return ref
    if not isinstance(ref, str):
        raise TypeError("%s must be a column property or a column name, not %s" % (what, type(ref).__name__))
    found = _named_column(model, ref)
    if found is None and "." in ref:
        # "Model.column": the model part must name the model looked in.
        prefix, _, rest = ref.rpartition(".")
        if prefix in (getattr(model, "__name__", None), getattr(model, "tableName", None)):
            found = _named_column(model, rest)
    if found is None:
        raise AttributeError("model %s has no column %r" % (getattr(model, "__name__", model), ref))
    return found


def _named_column(model: Any, ref: str) -> Optional[BaseProperty[Any]]:
    # The attribute a column is bound to, or its database column's name.
    cols: Iterable[BaseProperty[Any]] = getattr(model, "col", None) or ()
    for prop in cols:
        if prop.name == ref:
            return prop
    for prop in cols:
        if prop.column == ref:
            return prop
    found = getattr(model, ref, None)
    return found if isinstance(found, BaseProperty) else None


class ForeignKey:
    """
    外键关系描述符

    一对一、一对多与多对多（经由中间模型）三种关系
    """
    _KEYS: ClassVar[Tuple[str, ...]] = ("name", "Type", "target", "bindCol", "targetBindCol", "directTarget", "owner", "middleModel")

    def __init__(self, Type: Union[ForeignType, int], target: Union[type, str], bindCol: object = None,
                 targetBindCol: object = None, middleModel: Optional[Union[type, str]] = None,
                 name: Optional[str] = None) -> None:
        Type = ForeignType(Type)
        if not isinstance(target, (type, str)):
            raise TypeError("target must be a model class or a model name, not %s" % type(target).__name__)
        if middleModel is not None and not isinstance(middleModel, (type, str)):
            raise TypeError("middleModel must be a model class or a model name, not %s"
                            % type(middleModel).__name__)
        if name is not None and not isinstance(name, str):
            raise TypeError("name must be a str, not %s" % type(name).__name__)
        if Type == ForeignType.MANY_TO_MANY and middleModel is None:
            raise TypeError("a many-to-many relation needs middleModel")
        if Type == ForeignType.ONE_TO_MANY and targetBindCol is None:
            raise TypeError("a one-to-many relation needs targetBindCol")
        self.Type = Type
        self.name = name
        self.owner: Any = None  # the model class it is declared on
        self._target = target
        self._middle = middleModel
        self._bindCol = bindCol
        self._targetBindCol = targetBindCol
        self._reversed = False

    @classmethod
    def oneToOne(cls, target: Union[type, str], bindCol: object = None, targetBindCol: object = None,
                 name: Optional[str] = None) -> ForeignKey:
        return cls(ForeignType.ONE_TO_ONE, target, bindCol, targetBindCol, None, name)

    @classmethod
    def oneToMany(cls, target: Union[type, str], targetBindCol: object = None, bindCol: object = None,
                  name: Optional[str] = None) -> ForeignKey:
        return cls(ForeignType.ONE_TO_MANY, target, bindCol, targetBindCol, None, name)

    @classmethod
    def manyToMany(cls, target: Union[type, str], middleModel: Optional[Union[type, str]] = None,
                   bindCol: object = None, targetBindCol: object = None, name: Optional[str] = None) -> ForeignKey:
        return cls(ForeignType.MANY_TO_MANY, target, bindCol, targetBindCol, middleModel, name)

    def __set_name__(self, owner: type, name: str) -> None:
        if self.name is None:
            self.name = name
        self.owner = owner
        if self.Type == ForeignType.MANY_TO_MANY and not isinstance(self._target, str):
            self._reverse_into(self._target)

    def _reverse_into(self, far: Any) -> None:
        # The far model gets a descriptor back to the owner, named after the
        # owner's table, through which its rows are joined to the junction.
        if self._reversed or self.owner is None or far is self.owner:
            return
        self._reversed = True
        key = getattr(self.owner, "tableName", None)
        if not isinstance(key, str) or not key or hasattr(far, key):
            return
        back = ForeignKey(ForeignType.MANY_TO_MANY, self.owner, middleModel=self._middle, name=key)
        back.owner = far
        back._reversed = True
        setattr(far, key, back)

    @property
    def directTarget(self) -> Any:
        far = _resolve_model(self._target)
        if self.Type == ForeignType.MANY_TO_MANY and not self._reversed:
            self._reverse_into(far)
        return far

    @property
    def middleModel(self) -> Any:
        return None if self._middle is None else _resolve_model(self._middle)

    @property
    def target(self) -> Any:
        if self.Type == ForeignType.MANY_TO_MANY:
            # Resolving the far model gives it its descriptor back to the owner.
            _ = self.directTarget
            return self.middleModel
        return _resolve_model(self._target)

    @property
    def bindCol(self) -> Any:
        if self._bindCol is None:
            return getattr(self.owner, "pkCol", None)
        return _column(self.owner, self._bindCol, "bindCol")

    @property
    def targetBindCol(self) -> Any:
        target = self.target
        if self._targetBindCol is not None:
            return _column(target, self._targetBindCol, "targetBindCol")
        if self.Type == ForeignType.MANY_TO_MANY:
            return _column(target, self.owner.tableName + "_id", "targetBindCol")
        return getattr(target, "pkCol", None)

    def any(self, cond: Optional[FilterListCell] = None) -> FilterListCell:
        """
        一对多、多对多关系的条件: 至少有一行关联行满足 cond (不给 cond 时: 至少有一行关联行)

        写作 EXISTS 子查询, 可与其他条件用 & | ~ 组合; cond 中关联模型的列指子查询中的关联行
        """
        if self.Type == ForeignType.ONE_TO_ONE:
            raise TypeError("%s is a one-to-one relation: use %s.has(...)" % (self._label(), self._label()))
        return self._exists(cond)

    def has(self, cond: Optional[FilterListCell] = None) -> FilterListCell:
        """
        一对一关系的条件: 关联行存在且满足 cond (不给 cond 时: 关联行存在)

        写作 EXISTS 子查询, 可与其他条件用 & | ~ 组合; cond 中关联模型的列指子查询中的关联行
        """
        if self.Type != ForeignType.ONE_TO_ONE:
            raise TypeError("%s is a %s relation: use %s.any(...)"
                            % (self._label(), self.Type.name.lower().replace("_", "-"), self._label()))
        return self._exists(cond)

    def _label(self) -> str:
        return "%s.%s" % (getattr(self.owner, "__name__", self.owner), self.name)

    def _exists(self, cond: Optional[FilterListCell]) -> FilterListCell:
        if cond is not None and not isinstance(cond, FilterListCell):
            raise TypeError("cond must be a FilterListCell or None, not %s" % type(cond).__name__)
        if self.owner is None:
            raise TypeError("%r is not declared on a model" % (self,))
        near = self.bindCol
        middle: Any = None
        middle_far: Any = None
        far_key: Any = None
        if self.Type == ForeignType.MANY_TO_MANY:
            # Through the junction, joined to the far model as the loader
            # joins it: by the far model's descriptor back to the owner, or
            # (a descriptor that is itself the way back) by the junction's
            # column named after the far table.
            far = self.directTarget
            middle = self.middleModel
            back = getattr(far, getattr(self.owner, "tableName", ""), None)
            if isinstance(back, ForeignKey) and back is not self:
                middle_far = back.targetBindCol
                far_key = back.bindCol
            else:
                middle_far = _column(middle, "%s_id" % (far.tableName,), "the junction's column")
                far_key = getattr(far, "pkCol", None)
        else:
            far = self.target
        corr = self.targetBindCol
        for what, col in (("bindCol", near), ("targetBindCol", corr), ("the junction's column", middle_far),
                          ("the far key", far_key)):
            if col is None and (middle is not None or what in ("bindCol", "targetBindCol")):
                raise TypeError("%s: %s is not resolved" % (self._label(), what))
        return _relation_filter(near, far, corr, middle, middle_far, far_key, cond)

    def __getitem__(self, key: str) -> Any:
        if key in ForeignKey._KEYS:
            return getattr(self, key)
        raise KeyError(key)

    def __repr__(self) -> str:
        return "<ForeignKey %s %s>" % (self.name, self.Type.name)

    # ForeignKey[Optional[Profile]] in a model's annotations.
    __class_getitem__: ClassVar[classmethod[Any, Any, _types.GenericAlias]] = classmethod(_types.GenericAlias)
