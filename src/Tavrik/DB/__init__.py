"""Tavrik.DB: the database handle (DB), the connectors (Connector) and the
statement generators (Generator), and connect(url), a connector made from a
database URL."""
from Tavrik.DB._url import connect

__all__ = ["connect"]
