"""Rows refuse names the model does not have, and each road has a typed
executor accessor.  Today's fault this guards: a misspelt keyword was dropped
and the row saved NULL in its place."""
import sqlite3

import pytest

from tests.models import Post, Profile, User


class TestUnknownNames:
    @pytest.mark.parametrize("build, key, kind", [
        (lambda: User(nmae="x"), "nmae", "关键字参数"),
        (lambda: User(nmae="x", check=False), "nmae", "关键字参数"),
        (lambda: User({"name": "x", "nmae": "y"}), "nmae", "字典键"),
        (lambda: User({"name": "x"}, nmae="y"), "nmae", "关键字参数"),
        (lambda: User(name="x", profile={"bio": "b", "boi": "c"}), "boi", "字典键"),
        (lambda: User(name="x", posts=[Post(title="t"), {"titel": "u"}]), "titel", "字典键"),
    ], ids=["keyword", "unchecked", "dict key", "keyword beside dict", "related row", "related list"])
    def test_refused_with_model_and_name(self, build, key, kind):
        with pytest.raises(TypeError) as info:
            build()
        message = str(info.value)
        assert repr(key) in message and kind in message
        assert message.split(" ")[0] in ("User", "Profile", "Post")

    def test_names_the_model_accepts(self):
        # Every column by attribute, every relation, and check.
        row = User(id=1, name="n", age=3, active=False, profile=Profile(bio="b"), posts=[], roles=[], check=True)
        assert row["name"] == "n" and row["profile"]["bio"] == "b"

    def test_column_declared_under_another_name(self):
        from Tavrik.Model.Korvid import Korvid
        from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

        class Account(Korvid):
            id = IntProperty(primaryKey=True, default=AutoIncrement)
            owner = StrProperty(60, name="owner_name")

        for row in (Account(owner="a"), Account(owner_name="a"), Account({"owner_name": "a"}),
                    Account(owner="a", owner_name="b")):
            assert row["owner"] == "a"
        with pytest.raises(TypeError, match="Account .*'owner_nam'"):
            Account(owner_nam="a")

    def test_nothing_is_saved(self, sqlite_db, db_path):
        users = User.getSyncExecutor()
        with pytest.raises(TypeError):
            users.save(User(nmae="x"))
        users.save(User(name="kept"))
        con = sqlite3.connect(db_path)
        try:
            assert con.execute("SELECT name FROM %s" % User.tableName).fetchall() == [("kept",)]
        finally:
            con.close()

    def test_fetched_rows_still_build(self, sqlite_db):
        users = User.getSyncExecutor()
        saved = users.save(User(name="a", profile=Profile(bio="b"), posts=[Post(title="t")]))
        found = users.findOneBy(User.id == saved.id)
        users.findForeignKey(found, deep=True)
        assert found.profile.bio == "b" and [p.title for p in found.posts] == ["t"]
        assert User(found) == found


class TestRoadAccessors:
    def test_synchronous_connector(self, sqlite_db):
        from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

        assert type(User.getSyncExecutor()) is ModelExecutor
        assert type(User.getSyncExecutor(work=None)) is ModelExecutor
        assert type(User.getAsyncExecutor()) is AsyncModelExecutor

    async def test_asynchronous_connector(self, async_db):
        from Tavrik.Model.Vantrel import AsyncModelExecutor

        with pytest.raises(TypeError, match="getAsyncExecutor"):
            User.getSyncExecutor()
        users = User.getAsyncExecutor()
        assert type(users) is AsyncModelExecutor
        saved = await users.save(User(name="async"))
        assert (await users.findOneBy(User.id == saved.id)).name == "async"

    def test_generic_aliases(self):
        from Tavrik.Model.Korvid import InstanceList
        from Tavrik.Model.ModelProperty import BaseProperty, Column, ForeignKey
        from Tavrik.Model.Vantrel import ModelExecutor

        assert Column is BaseProperty
        for alias in (Column[int], ForeignKey[User], ModelExecutor[User], InstanceList[User]):
            assert alias.__args__ and alias.__origin__ in (BaseProperty, ForeignKey, ModelExecutor, InstanceList)
