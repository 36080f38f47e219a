"""DictPlus: a dict whose items are read and written as attributes, items first."""
import gc

import pytest

from Tavrik.Ext.Dict import DictPlus
import Tavrik.Ext.Dict as dict_module


def test_module_exports_only_dictplus():
    assert [n for n in vars(dict_module) if not n.startswith("_")] == ["DictPlus"]
    assert DictPlus.__module__ == "Tavrik.Ext.Dict"


def test_is_a_plain_dict_without_attribute_storage():
    d = DictPlus({"a": 1}, b=2)
    assert isinstance(d, dict)
    assert d == {"a": 1, "b": 2}
    assert DictPlus.__slots__ == ()
    assert not hasattr(d, "__dict__")
    assert list(d.items()) == [("a", 1), ("b", 2)]
    assert DictPlus.fromkeys("xy", 0) == {"x": 0, "y": 0}


def test_read_write_missing():
    d = DictPlus({"a": 1})
    assert d.a == 1
    d.b = 2
    assert d["b"] == 2
    with pytest.raises(AttributeError):
        d.c
    assert getattr(d, "c", "dflt") == "dflt"


@pytest.mark.parametrize("name", ["keys", "get", "items", "__class__", "order", "x\"; DROP TABLE t;--", "a\nb", "\0"])
def test_items_shadow_everything(name):
    d = DictPlus()
    setattr(d, name, 5)
    assert d[name] == 5
    assert getattr(d, name) == 5


def test_methods_still_reachable_without_item():
    d = DictPlus(a=1)
    assert d.keys() == {"a"}
    assert d.get("a") == 1


def test_every_write_is_an_item_write():
    d = DictPlus()
    d.__class__ = 3  # even names of object's own attributes
    assert d["__class__"] == 3
    assert type(d) is DictPlus


def test_setitem_is_looked_up_item_first():
    calls = []
    d = DictPlus()
    dict.__setitem__(d, "__setitem__", lambda k, v: calls.append((k, v)))
    d.x = 1
    assert calls == [("x", 1)]
    assert "x" not in d


def test_delete_attribute_is_not_redirected():
    d = DictPlus(a=1)
    with pytest.raises(AttributeError):
        del d.a
    assert d == {"a": 1}


def test_missing_lookup_runs_twice():
    seen = []

    class Recording(DictPlus):
        def __getitem__(self, key):
            seen.append(key)
            return dict.__getitem__(self, key)

    r = Recording(a=1)
    assert r.a == 1
    seen.clear()
    with pytest.raises(AttributeError):
        r.nothing
    assert seen == ["nothing", "nothing"]


def test_missing_hook_answers_every_read():
    class WithDefault(DictPlus):
        def __missing__(self, key):
            return "default:" + key

    w = WithDefault(a=1)
    assert w.a == 1
    assert w.anything == "default:anything"
    assert w.keys == "default:keys"


def test_non_keyerror_from_item_access_falls_back():
    class Broken(DictPlus):
        def __getitem__(self, key):
            raise ValueError(key)

    b = Broken(a=1)
    assert b.keys() == {"a"}
    with pytest.raises(AttributeError):
        b.a


def test_base_exception_from_item_access_propagates():
    class Stop(DictPlus):
        def __getitem__(self, key):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Stop().a


def test_subclass_can_define_getattr():
    class Fallback(DictPlus):
        def __getattr__(self, item):
            return "fallback"

    f = Fallback(a=1)
    assert f.a == 1
    assert f.zzz == "fallback"


def test_self_reference_is_collected():
    d = DictPlus()
    d.me = d
    del d
    assert gc.collect() >= 1
