"""Errors of the MySQL connector on a Galera cluster (or a single server).

Both transaction errors are also ``pymysql.err.OperationalError``s, so code
that caught the client's error around a transaction still catches them; the
client's original error is their ``__cause__``.  ``TransactionConflict`` is a
``Tavrik.Error.ConflictError``, as a serialisation failure or a deadlock of
the PostgreSQL drivers is.
"""
from __future__ import annotations

from typing import Tuple
import pymysql

from Tavrik.Error.BaseOrmError import BaseOrmError
from Tavrik.Error.DriverError import ConflictError

__all__ = ["TransactionConflict", "NodeLost", "ClusterUnavailable"]


class TransactionConflict(BaseOrmError, ConflictError, pymysql.err.OperationalError):
    """The transaction lost to a concurrent one (the cluster's certification,
    or a deadlock on one server: error 1213) and was rolled back as a whole.
    Running the block again is safe: connector.runTransaction(fn, retries=N)
    does so."""

    msg = "事务与并发的事务冲突 (集群认证失败或死锁), 已整体回滚; 可以重新执行"


class NodeLost(BaseOrmError, pymysql.err.OperationalError):
    """The connection's database node was lost (it died, or left the cluster)
    while the transaction ran.  ``committing`` is False when that happened
    before the commit was sent: nothing of the transaction was applied, and
    running it again is safe.  When True, the commit was sent and its answer
    never came: the cluster may or may not have applied it."""

    msg = "数据库节点失联, 事务已回滚 (没有提交)"
    committing = False

    def __init__(self, committing: object = False) -> None:
        if committing:
            self.msg = "数据库节点在提交时失联: 提交没有得到确认, 集群可能已经应用也可能没有应用这个事务"
        super().__init__()
        self.committing = bool(committing)

    def __reduce__(self) -> Tuple[type, Tuple[bool], None]:
        return type(self), (self.committing,), None


class ClusterUnavailable(BaseOrmError, pymysql.err.OperationalError):
    """No node of the connector's list was synced and ready within the
    connector's failoverTimeout."""

    msg = "没有可用的数据库节点 (所有节点都失联或未同步)"
