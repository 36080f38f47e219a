"""A model's request and response schemas: what a create or update body
may leave out and what it must respect (the columns' limits), and rows
with their loaded relations validated as the read schema."""
import decimal

import pytest
from pydantic import ValidationError

from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, DecimalProperty, IntProperty, StrProperty
from tests.models import Post, Profile, User


class Ledger(Korvid):
    tableName = "s_ledger"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    code = StrProperty(8, nullable=False)
    note = StrProperty(20)
    amount = DecimalProperty(6, 2, nullable=False, default=decimal.Decimal("0"))


def test_a_create_body_requires_what_has_no_default_and_keeps_the_limits():
    schema = Ledger.createSchema()
    assert set(schema.model_fields) == {"code", "note", "amount"}
    row = schema(code="ab")
    assert (row.note, row.amount) == (None, decimal.Decimal("0"))
    for bad in ({}, {"code": "x" * 9}, {"code": "a", "amount": "12345.6"}, {"code": "a", "amount": "1.234"},
                {"code": "a", "id": 3}, {"code": None}):
        with pytest.raises(ValidationError):
            schema(**bad)


def test_an_update_body_tells_left_out_from_none():
    schema = Ledger.updateSchema()
    assert schema(note=None).model_dump(exclude_unset=True) == {"note": None}
    assert schema().model_dump(exclude_unset=True) == {}
    for bad in ({"code": None}, {"code": "x" * 9}, {"id": 1}, {"other": 1}):
        with pytest.raises(ValidationError):
            schema(**bad)


def test_a_row_with_its_relations_is_its_read_schema(sqlite_db):
    users = User.getSyncExecutor()
    saved = users.save(User(name="ada", profile=Profile(bio="engines"), posts=[Post(title="Notes")]))
    row = users.findOneBy(User.id == saved.id)
    users.findForeignKey(row)
    read = User.readSchema(depth=1).model_validate(row).model_dump()
    assert read["profile"]["bio"] == "engines"
    assert [p["title"] for p in read["posts"]] == ["Notes"]
    flat = User.readSchema(depth=0)
    assert "profile" not in flat.model_fields and flat.model_validate(row).model_dump()["name"] == "ada"


def test_schemas_are_made_once_per_class_and_depth():
    assert User.readSchema() is User.readSchema(depth=1)
    assert User.readSchema(depth=0) is not User.readSchema(depth=1)
    assert Post.createSchema() is Post.createSchema() and Post.updateSchema() is Post.updateSchema()
    with pytest.raises(ValueError):
        User.readSchema(depth=-1)
