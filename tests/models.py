"""Models shared by the test suite: users with a profile (1:1), posts (1:N)
and roles (M:N through a junction)."""
from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BoolProperty,
    ForeignKey,
    IntProperty,
    StrProperty,
    TextProperty,
)


class Profile(Korvid):
    tableName = "t_profile"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id = IntProperty()
    bio = TextProperty(nullable=True)


class Post(Korvid):
    tableName = "t_post"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id = IntProperty()
    title = StrProperty(200)


class Role(Korvid):
    tableName = "t_role"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(50)


class User(Korvid):
    tableName = "t_user"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(64)
    age = IntProperty(nullable=True)
    active = BoolProperty(default=True)
    profile = ForeignKey.oneToOne(Profile, targetBindCol=Profile.user_id)
    posts = ForeignKey.oneToMany(Post, targetBindCol=Post.user_id)
    roles = ForeignKey.manyToMany(Role, middleModel="UserRole")


class UserRole(MiddleKorvid):
    tableName = "t_user_role"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    t_user_id = IntProperty()
    t_role_id = IntProperty()
    user = ForeignKey.oneToOne(User, bindCol="t_user_id")
    role = ForeignKey.oneToOne(Role, bindCol="t_role_id")
