"""The example application's models: users with a profile (1:1), posts (1:N)
and roles (M:N through the junction UserRole).  Each column and relation is
annotated with the type a row holds in it (Optional where the column may be
NULL), so type checkers know the rows and the keywords a model accepts."""
import datetime
from typing import List, Optional

from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BoolProperty,
    Column,
    DateTimeProperty,
    ForeignKey,
    IntProperty,
    StrProperty,
    TextProperty,
)


class Profile(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()
    bio: Column[Optional[str]] = TextProperty(nullable=True)


class Post(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()
    title: Column[Optional[str]] = StrProperty(200)
    published: Column[Optional[bool]] = BoolProperty(default=False)
    created: Column[Optional[datetime.datetime]] = DateTimeProperty(nullable=True)


class Role(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    name: Column[Optional[str]] = StrProperty(50)


class User(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    name: Column[Optional[str]] = StrProperty(64)
    email: Column[Optional[str]] = StrProperty(120, nullable=True)
    profile: ForeignKey[Optional[Profile]] = ForeignKey.oneToOne(Profile, targetBindCol=Profile.user_id)
    posts: ForeignKey[List[Post]] = ForeignKey.oneToMany(Post, targetBindCol=Post.user_id)
    roles: ForeignKey[List[Role]] = ForeignKey.manyToMany(Role, middleModel="UserRole")


class UserRole(MiddleKorvid):
    # The junction's columns are named after the two tables: user_id, role_id.
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()
    role_id: Column[Optional[int]] = IntProperty()
    user: ForeignKey[Optional[User]] = ForeignKey.oneToOne(User, bindCol="user_id")
    role: ForeignKey[Optional[Role]] = ForeignKey.oneToOne(Role, bindCol="role_id")
