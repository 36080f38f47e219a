"""The example application's models: users with a profile (1:1), posts (1:N)
and roles (M:N through the junction UserRole)."""
from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BoolProperty,
    DateTimeProperty,
    ForeignKey,
    IntProperty,
    StrProperty,
    TextProperty,
)


class Profile(Korvid):
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id = IntProperty()
    bio = TextProperty(nullable=True)


class Post(Korvid):
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id = IntProperty()
    title = StrProperty(200)
    published = BoolProperty(default=False)
    created = DateTimeProperty(nullable=True)


class Role(Korvid):
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(50)


class User(Korvid):
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(64)
    email = StrProperty(120, nullable=True)
    profile = ForeignKey.oneToOne(Profile, targetBindCol=Profile.user_id)
    posts = ForeignKey.oneToMany(Post, targetBindCol=Post.user_id)
    roles = ForeignKey.manyToMany(Role, middleModel="UserRole")


class UserRole(MiddleKorvid):
    # The junction's columns are named after the two tables: user_id, role_id.
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id = IntProperty()
    role_id = IntProperty()
    user = ForeignKey.oneToOne(User, bindCol="user_id")
    role = ForeignKey.oneToOne(Role, bindCol="role_id")
