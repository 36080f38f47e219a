"""Tavrik.DB: the database handle (DB), the connectors (Connector) and the
statement generators (Generator), connect(url), a connector made from a
database URL, and instrument(), the statements' OpenTelemetry spans."""
from Tavrik.DB._url import connect

__all__ = ["connect", "instrument", "uninstrument"]


def instrument(tracerProvider: object = None) -> None:
    """每条语句一个 OpenTelemetry 客户端 span (db.system, db.namespace, db.query.text, server.address/port),
    是调用者当前 span 的子 span; 需要 opentelemetry-api (缺少时抛出 ImportError)。tracerProvider 缺省为全局的。"""
    # Imported here: the package's __init__ runs before its extension modules.
    from Tavrik.DB._observe import instrument as start

    start(tracerProvider)


def uninstrument() -> None:
    """停止 instrument() 的 span。"""
    from Tavrik.DB._observe import uninstrument as stop

    stop()
