"""Every module of the package imports first, in a fresh interpreter: the
modules import each other while they load, whichever comes first."""
import os
import subprocess
import sys

import pytest

MODULES = [
    "Tavrik.Model.Korvid",
    "Tavrik.Model.Vantrel",
    "Tavrik.DB.Connector",
    "Tavrik.Ext.Olvane",
    "Tavrik.Ext.Decorators",
    "Tavrik.Ext.Dict",
    "Tavrik.Error.Strovy",
    "Tavrik.Error.Grelt",
    "Tavrik.DB.DB",
    "Tavrik.DB.Generator",
    "Tavrik.Model.ModelProperty",
    "Tavrik.Ext",
    "Tavrik.DB.utils",
]

CHECK = """
import importlib, sys
name = sys.argv[1]
mod = importlib.import_module(name)
assert sys.modules[name] is mod
# Importing everything else afterwards must also work.
for other in sys.argv[2:]:
    importlib.import_module(other)
print("ok")
"""


@pytest.mark.parametrize("module", MODULES)
def test_imports_first(module):
    others = [m for m in MODULES if m != module]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", CHECK, module] + others, capture_output=True, text=True, env=env
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_korvid_binds_its_imports():
    import pydantic
    import typing

    import Tavrik.Model.Korvid as K
    from Tavrik.DB import DB as db_module
    from Tavrik.Ext.Decorators import pydantic_support
    from Tavrik.Model import ModelProperty, Vantrel

    assert K.Optional is typing.Optional and K.List is typing.List and K.Type is typing.Type
    assert K.create_model is pydantic.create_model
    assert K.pydantic_support is pydantic_support
    assert K.ModelExecutor is Vantrel.ModelExecutor
    assert K.ForeignKey is ModelProperty.ForeignKey and K.ForeignType is ModelProperty.ForeignType
    assert K.Korvid._db is db_module.DB
