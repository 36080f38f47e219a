"""Errors of wrongly built SQL statements, published by ``Tavrik.Error.Grelt``.

The argument check of ``SqlMissingRelationshipError._process`` is the C
helper ``_check_str`` of the extension module, so its TypeError text is the
interpreter's own.
"""
from __future__ import annotations

from typing import Optional

from Tavrik.Error.BaseOrmError import BaseOrmError
from Tavrik.Error.Grelt import _check_str

__all__ = ["BaseOrmError", "SetGrelt", "SqlInStanceError", "SqlMissingRelationshipError", "WhereGrelt"]


class SqlInStanceError(BaseOrmError):
    def _process(self, c: object, t: object) -> None:
        self.msg = "无法在" + format(c, "") + "语句中添加" + format(t, "") + "语句块"


class SqlMissingRelationshipError(BaseOrmError):
    def _process(self, a: Optional[str], b: Optional[str]) -> None:
        _check_str(a, "a")
        _check_str(b, "b")
        self.msg = "在" + ("None" if a is None else a) + "与" + ("None" if b is None else b) + "之间缺少了关系运算符"


class WhereGrelt(BaseOrmError):
    msg = "无法在未指定操作类型的sql上添加where子句"


class SetGrelt(BaseOrmError):
    msg = "无法在非UPDATE语句中添加SET语句"
