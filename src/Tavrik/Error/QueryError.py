"""Errors of query results."""
from Tavrik.Error.BaseOrmError import BaseOrmError

__all__ = ["QueryResoutIsNotOne", "QueryNotDefine"]


class QueryResoutIsNotOne(BaseOrmError):
    msg = "查询结果不唯一：应当恰好返回一行数据"


class QueryNotDefine(BaseOrmError):
    msg = "查询未定义"
