"""Conditions have no truth value: `and`/`or`/`not` between conditions would
silently keep one side and run the wrong query."""
import pytest

from tests.models import Post, User


@pytest.mark.parametrize(
    "use",
    [
        lambda: bool(User.age > 3),
        lambda: (User.age > 3) and (User.name == "x"),
        lambda: (User.age > 3) or (User.name == "x"),
        lambda: not (User.name == "x"),
        lambda: bool((User.age > 3) & (User.name == "x")),
        lambda: bool(User.name.like("a%")),
        lambda: bool(User.id.in_([1, 2])),
    ],
)
def test_a_condition_used_as_a_truth_value_says_to_use_the_operators(use):
    with pytest.raises(TypeError, match=r"&.*\|"):
        use()


def test_columns_still_compare_by_identity_in_containers():
    assert User.id in [User.name, User.id]
    assert Post.user_id not in [User.id]
    assert {User.id: 1}[User.id] == 1


def test_delete_by_condition_deletes_exactly_the_matching_rows(sqlite_db):
    ex = User.getExecutor()
    for name, age in [("a", 1), ("b", 5), ("c", 9)]:
        ex.save(User(name=name, age=age))
    ex.delete(None, (User.age > 2) & (User.age < 8))
    assert sorted(r.name for r in ex.findAllBy()) == ["a", "c"]
