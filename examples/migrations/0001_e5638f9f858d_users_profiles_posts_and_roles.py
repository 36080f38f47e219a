'users, profiles, posts and roles'
import datetime  # noqa: F401
import decimal  # noqa: F401

from Tavrik.Model.ModelProperty import AutoIncrement, NullDefault  # noqa: F401

revision = 'e5638f9f858d'
down_revision = None
message = 'users, profiles, posts and roles'
reviewed = True


def upgrade(op):
    op.create_table('profile', [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'bio', 'type': 'TextProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ])
    op.create_table('post', [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'title', 'type': 'StrProperty', 'args': [200], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
        {'name': 'published', 'type': 'BoolProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False, 'default': False},
        {'name': 'created', 'type': 'DateTimeProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ])
    op.create_table('role', [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'name', 'type': 'StrProperty', 'args': [50], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ])
    op.create_table('user', [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'name', 'type': 'StrProperty', 'args': [64], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ])
    op.create_table('user_role', [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'role_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
    ])


def downgrade(op):
    op.drop_table('user_role')
    op.drop_table('user')
    op.drop_table('role')
    op.drop_table('post')
    op.drop_table('profile')


# The models as they are after this revision: the next one is made by
# comparing the declared models with it.
state = {
    'profile': [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'bio', 'type': 'TextProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ],
    'post': [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'title', 'type': 'StrProperty', 'args': [200], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
        {'name': 'published', 'type': 'BoolProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False, 'default': False},
        {'name': 'created', 'type': 'DateTimeProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ],
    'role': [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'name', 'type': 'StrProperty', 'args': [50], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ],
    'user': [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'name', 'type': 'StrProperty', 'args': [64], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': False},
    ],
    'user_role': [
        {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False, 'index': False, 'default': AutoIncrement},
        {'name': 'user_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
        {'name': 'role_id', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False, 'index': True},
    ],
}
