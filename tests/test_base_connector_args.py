"""BaseConnector takes no arguments, as object() does; a subclass with a
constructor of its own takes what that constructor takes."""
import pytest

from Tavrik.DB.Connector import BaseConnector


class Plain(BaseConnector):
    pass


class WithInit(BaseConnector):
    def __init__(self, a, b=2):
        self.seen = (a, b)


@pytest.mark.parametrize("cls", [BaseConnector, Plain])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((1, 2), {"y": 3})])
def test_arguments_are_refused(cls, args, kwargs):
    with pytest.raises(TypeError, match=r"^%s\(\) takes no arguments$" % cls.__name__):
        cls(*args, **kwargs)


def test_without_arguments_and_subclass_constructor():
    assert type(BaseConnector()) is BaseConnector and type(Plain()) is Plain
    assert WithInit(1, b=3).seen == (1, 3)
