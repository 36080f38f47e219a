from typing import List, Optional

from Tavrik.DB.Connector import Sqlite3Connector
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import (AutoIncrement, Column, ForeignKey, IntProperty,
                                         StrProperty, TextProperty)

class Profile(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()
    bio: Column[Optional[str]] = TextProperty(nullable=True)

class Post(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()
    title: Column[str] = StrProperty(200, nullable=False)

class Role(Korvid):
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    name: Column[str] = StrProperty(50, nullable=False)

class User(Korvid):                      # table "user"
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    name: Column[str] = StrProperty(64, nullable=False)
    profile: ForeignKey[Optional[Profile]] = ForeignKey.oneToOne(Profile, targetBindCol=Profile.user_id)  # 1:1
    posts: ForeignKey[List[Post]] = ForeignKey.oneToMany(Post, targetBindCol=Post.user_id)               # 1:N
    roles: ForeignKey[List[Role]] = ForeignKey.manyToMany(Role, middleModel="UserRole")                  # M:N

class UserRole(MiddleKorvid):            # the junction of User and Role
    id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
    user_id: Column[Optional[int]] = IntProperty()   # named <table>_id after each side's table
    role_id: Column[Optional[int]] = IntProperty()
    user: ForeignKey[Optional[User]] = ForeignKey.oneToOne(User, bindCol="user_id")
    role: ForeignKey[Optional[Role]] = ForeignKey.oneToOne(Role, bindCol="role_id")

DB.create(Sqlite3Connector("app.db"))
generate_table()                         # CREATE TABLE for every declared model

users = User.getSyncExecutor()           # typed: ModelExecutor[User] (getAsyncExecutor() on the async road)
ada = users.save(User(name="ada", profile=Profile(bio="first programmer"),
                      posts=[Post(title="Notes")], roles=[Role.getSyncExecutor().save(Role(name="admin"))]))
ada.id                                   # the new key, filled in
users.findOneBy(User.name == "ada")      # exactly one row, else QueryResoutIsNotOne
users.findAllBy(User.name.like("a%") & (User.id > 0))
users.findAllBy(User.id > 0, orderBy=(User.name.desc(), User.id), limit=10, offset=20)
users.findAllBy(columns=(User.id, User.name))   # rows holding only id and name
users.count(User.name.like("a%"))        # 1 (SELECT COUNT(*))
users.exists(User.name == "bob")         # False (SELECT 1 ... LIMIT 1)
users.findAllBy(User.posts.any(Post.title.like("N%")) & ~User.roles.any())  # across relations: EXISTS
users.findForeignKey(ada, deep=True)     # fills ada.profile, ada.posts, ada.roles
everyone = users.prefetch(users.findAllBy(), level=2)  # a whole list: one statement per relation and level
