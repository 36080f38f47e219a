"""Relation descriptors, published by ``Tavrik.Model.ModelProperty``.

They are read a few times per relation, never per column value, so they are
plain Python.
"""

import enum as _enum
import types as _types

from Tavrik.Model.ModelProperty import BaseProperty

__all__ = ["ForeignKey", "ForeignType"]


class ForeignType(_enum.IntEnum):
    """外键关系类型"""
    ONE_TO_ONE = 1
    ONE_TO_MANY = 2
    MANY_TO_MANY = 3


def _model_list():
    from Tavrik.Model.Korvid import _KorvidMeta
    return _KorvidMeta.ModelList


def _resolve_model(ref):
    if not isinstance(ref, str):
        return ref
    for model in reversed(_model_list()):
        if model.__name__ == ref:
            return model
    raise LookupError("model %r is not declared" % (ref,))


def _column(model, ref, what):
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


def _named_column(model, ref):
    # The attribute a column is bound to, or its database column's name.
    cols = getattr(model, "col", None) or ()
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
    _KEYS = ("name", "Type", "target", "bindCol", "targetBindCol", "directTarget", "owner", "middleModel")

    def __init__(self, Type, target, bindCol=None, targetBindCol=None, middleModel=None, name=None):
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
        self.owner = None
        self._target = target
        self._middle = middleModel
        self._bindCol = bindCol
        self._targetBindCol = targetBindCol
        self._reversed = False

    @classmethod
    def oneToOne(cls, target, bindCol=None, targetBindCol=None, name=None):
        return cls(ForeignType.ONE_TO_ONE, target, bindCol, targetBindCol, None, name)

    @classmethod
    def oneToMany(cls, target, targetBindCol=None, bindCol=None, name=None):
        return cls(ForeignType.ONE_TO_MANY, target, bindCol, targetBindCol, None, name)

    @classmethod
    def manyToMany(cls, target, middleModel=None, bindCol=None, targetBindCol=None, name=None):
        return cls(ForeignType.MANY_TO_MANY, target, bindCol, targetBindCol, middleModel, name)

    def __set_name__(self, owner, name):
        if self.name is None:
            self.name = name
        self.owner = owner
        if self.Type == ForeignType.MANY_TO_MANY and not isinstance(self._target, str):
            self._reverse_into(self._target)

    def _reverse_into(self, far):
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
    def directTarget(self):
        far = _resolve_model(self._target)
        if self.Type == ForeignType.MANY_TO_MANY and not self._reversed:
            self._reverse_into(far)
        return far

    @property
    def middleModel(self):
        return None if self._middle is None else _resolve_model(self._middle)

    @property
    def target(self):
        if self.Type == ForeignType.MANY_TO_MANY:
            # Resolving the far model gives it its descriptor back to the owner.
            _ = self.directTarget
            return self.middleModel
        return _resolve_model(self._target)

    @property
    def bindCol(self):
        if self._bindCol is None:
            return getattr(self.owner, "pkCol", None)
        return _column(self.owner, self._bindCol, "bindCol")

    @property
    def targetBindCol(self):
        target = self.target
        if self._targetBindCol is not None:
            return _column(target, self._targetBindCol, "targetBindCol")
        if self.Type == ForeignType.MANY_TO_MANY:
            return _column(target, self.owner.tableName + "_id", "targetBindCol")
        return getattr(target, "pkCol", None)

    def __getitem__(self, key):
        if key in ForeignKey._KEYS:
            return getattr(self, key)
        raise KeyError(key)

    def __repr__(self):
        return "<ForeignKey %s %s>" % (self.name, self.Type.name)

    # ForeignKey[Optional[Profile]] in a model's annotations.
    __class_getitem__ = classmethod(_types.GenericAlias)
