"""Errors of database-handle misuse and of writes that cannot be carried out.

Published by ``Tavrik.Error.Strovy``: plain classes with a fixed message each.
"""

from Tavrik.Error.BaseOrmError import BaseOrmError

__all__ = [
    "BaseOrmError",
    "DBInstanceCreateError",
    "DBInstanceError",
    "DeleteWithOutPrimaryKeyError",
    "UpdateWithOutPrimaryKeyError",
    "WriteOperateNotInAffairs",
]


class DBInstanceError(BaseOrmError):
    msg = "DB链接对象实例已存在，不可重新创建"


class DBInstanceCreateError(BaseOrmError):
    msg = "请使用DB.create()创建数据库实例"


class WriteOperateNotInAffairs(BaseOrmError):
    msg = "写操作需要在事务中执行"


class UpdateWithOutPrimaryKeyError(BaseOrmError):
    msg = "更新数据库实例需要包含主键字段"


class DeleteWithOutPrimaryKeyError(BaseOrmError):
    msg = "删除数据库实例需要包含主键字段"
