"""The other synchronous ORMs doing the same work: peewee, SQLAlchemy 2 ORM
and Pony, each through its usual API, building its own objects."""
import importlib.util

from common import SQLITE_DDL, Runner, Skip, check_all_items, check_saved, clear_items, expect
import raw

MIN_QTY = raw.MIN_QTY


def need(mod):
    if importlib.util.find_spec(mod) is None:
        raise Skip("%s not installed" % mod)


def item_dict(row):
    return dict(name=row[0], qty=row[1], price=row[2], flag=row[3], note=row[4])


# ================================================================= peewee

def _pw_models(path):
    import peewee as pw

    db = pw.SqliteDatabase(path, timeout=99999)

    class Base(pw.Model):
        class Meta:
            database = db

    class Item(Base):
        id = pw.AutoField()
        name = pw.CharField(32)
        qty = pw.IntegerField()
        price = pw.FloatField()
        flag = pw.BooleanField()
        note = pw.TextField(null=True)

        class Meta:
            table_name = "bench_item"

    class User(Base):
        id = pw.AutoField()
        name = pw.CharField(64)

        class Meta:
            table_name = "rel_user"

    class Profile(Base):
        id = pw.AutoField()
        user = pw.ForeignKeyField(User, column_name="user_id", backref="profiles")
        bio = pw.TextField(null=True)

        class Meta:
            table_name = "rel_profile"

    class Post(Base):
        id = pw.AutoField()
        user = pw.ForeignKeyField(User, column_name="user_id", backref="posts")
        title = pw.CharField(200)

        class Meta:
            table_name = "rel_post"

    class Role(Base):
        id = pw.AutoField()
        name = pw.CharField(50)

        class Meta:
            table_name = "rel_role"

    class UserRole(Base):
        id = pw.AutoField()
        user = pw.ForeignKeyField(User, column_name="rel_user_id", backref="user_roles")
        role = pw.ForeignKeyField(Role, column_name="rel_role_id", backref="role_users")

        class Meta:
            table_name = "rel_user_role"

    db.connect()
    return db, Item, User, Profile, Post, Role, UserRole


def peewee_fetch_all(ctx):
    need("peewee")
    db, Item, *_ = _pw_models(ctx.read_db)
    return Runner(lambda: list(Item.select()), lambda rows: check_all_items(rows, ctx.items), close=db.close,
                  units=len(ctx.items))


def peewee_lookups(ctx):
    need("peewee")
    db, Item, *_ = _pw_models(ctx.read_db)
    return Runner(lambda: [Item.get_by_id(k) for k in ctx.keys], lambda res: raw.check_lookups(res, ctx),
                  close=db.close, units=len(ctx.keys))


def _pw_saves(ctx, memory):
    need("peewee")
    path = ":memory:" if memory else ctx.new_file("peewee_saves")
    db, Item, *_ = _pw_models(path)
    if memory:
        db.execute_sql(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]

    def before():
        if memory:
            db.execute_sql("DELETE FROM bench_item")
        else:
            clear_items(path)

    def run():
        last = None
        for row in data:
            last = Item.create(**item_dict(row))
        return last

    def check(last):
        expect(last.id == len(data), "last id %r" % last.id)
        check_saved(db.connection() if memory else path, data)

    return Runner(run, check, before, db.close, units=len(data))


def peewee_saves_file(ctx):
    return _pw_saves(ctx, False)


def peewee_saves_memory(ctx):
    return _pw_saves(ctx, True)


def peewee_batch_insert(ctx):
    need("peewee")
    import peewee as pw

    path = ctx.new_file("peewee_batch")
    db, Item, *_ = _pw_models(path)
    data = ctx.items[:ctx.sizes.batch]
    fields = [Item.name, Item.qty, Item.price, Item.flag, Item.note]

    def run():
        with db.atomic():
            for chunk in pw.chunked(data, 1000):
                Item.insert_many(chunk, fields=fields).execute()
        return len(data)

    return Runner(run, lambda n: check_saved(path, data), lambda: clear_items(path), db.close, units=len(data))


def peewee_paging(ctx):
    need("peewee")
    db, Item, *_ = _pw_models(ctx.read_db)
    s = ctx.sizes

    def run():
        page = None
        for _ in range(s.page_calls):
            q = Item.select().where(Item.qty >= MIN_QTY)
            total = q.count()
            page = dict(total=total, content=list(q.order_by(Item.id).paginate(s.page, s.page_size)))
        return page

    return Runner(run, lambda p: raw.check_page(p, ctx), close=db.close, units=s.page_calls)


def peewee_relations(ctx):
    need("peewee")
    import peewee as pw

    db, Item, User, Profile, Post, Role, UserRole = _pw_models(ctx.read_db)

    def run():
        return list(pw.prefetch(User.select(), Profile, Post, UserRole, Role))

    def check(users):
        raw.check_relations(users, ctx, profile=lambda u: u.profiles[0], posts=lambda u: u.posts,
                            roles=lambda u: [ur.role for ur in u.user_roles])

    return Runner(run, check, close=db.close, units=ctx.sizes.owners, note="prefetch")


# ============================================================= SQLAlchemy

_sa = None


def _sa_models():
    global _sa
    if _sa is not None:
        return _sa
    from sqlalchemy import Boolean, Column, Float, ForeignKey, Integer, String, Table, Text
    from sqlalchemy.orm import DeclarativeBase, relationship

    class Base(DeclarativeBase):
        pass

    class Item(Base):
        __tablename__ = "bench_item"
        id = Column(Integer, primary_key=True)
        name = Column(String(32), nullable=False)
        qty = Column(Integer, nullable=False)
        price = Column(Float, nullable=False)
        flag = Column(Boolean, nullable=False)
        note = Column(Text, nullable=True)

    user_role = Table("rel_user_role", Base.metadata,
                      Column("id", Integer, primary_key=True),
                      Column("rel_user_id", Integer, ForeignKey("rel_user.id")),
                      Column("rel_role_id", Integer, ForeignKey("rel_role.id")))

    class Profile(Base):
        __tablename__ = "rel_profile"
        id = Column(Integer, primary_key=True)
        user_id = Column(Integer, ForeignKey("rel_user.id"))
        bio = Column(Text)

    class Post(Base):
        __tablename__ = "rel_post"
        id = Column(Integer, primary_key=True)
        user_id = Column(Integer, ForeignKey("rel_user.id"))
        title = Column(String(200))

    class Role(Base):
        __tablename__ = "rel_role"
        id = Column(Integer, primary_key=True)
        name = Column(String(50))

    class User(Base):
        __tablename__ = "rel_user"
        id = Column(Integer, primary_key=True)
        name = Column(String(64))
        profile = relationship(Profile, uselist=False)
        posts = relationship(Post)
        roles = relationship(Role, secondary=user_role)

    _sa = (Base, Item, User, Profile, Post, Role)
    return _sa


def _sa_engine(path):
    from sqlalchemy import create_engine

    if path == ":memory:":
        return create_engine("sqlite://")
    return create_engine("sqlite:///" + path, connect_args={"timeout": 99999})


def sqlalchemy_fetch_all(ctx):
    need("sqlalchemy")
    from sqlalchemy import select
    from sqlalchemy.orm import Session

    Base, Item, *_ = _sa_models()
    engine = _sa_engine(ctx.read_db)

    def run():
        with Session(engine) as s:
            return s.scalars(select(Item)).all()

    return Runner(run, lambda rows: check_all_items(rows, ctx.items), close=engine.dispose, units=len(ctx.items))


def sqlalchemy_lookups(ctx):
    need("sqlalchemy")
    from sqlalchemy import select
    from sqlalchemy.orm import Session

    Base, Item, *_ = _sa_models()
    engine = _sa_engine(ctx.read_db)

    def run():
        out = []
        # Without expire_on_commit each commit would expire every object the
        # session has loaded so far: quadratic, and not what anyone writes.
        with Session(engine, expire_on_commit=False) as s:
            for k in ctx.keys:
                out.append(s.scalars(select(Item).where(Item.id == k)).one())
                s.commit()
        return out

    def check(res):
        with Session(engine) as s:
            raw.check_lookups([s.merge(o, load=False) for o in res], ctx)

    return Runner(run, check, close=engine.dispose, units=len(ctx.keys),
                  note="one session, a commit per lookup")


def _sa_saves(ctx, memory):
    need("sqlalchemy")
    from sqlalchemy.orm import Session

    Base, Item, *_ = _sa_models()
    path = ":memory:" if memory else ctx.new_file("sqlalchemy_saves")
    engine = _sa_engine(path)
    if memory:
        with engine.begin() as c:
            c.exec_driver_sql(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]

    def before():
        if memory:
            with engine.begin() as c:
                c.exec_driver_sql("DELETE FROM bench_item")
        else:
            clear_items(path)

    def run():
        last = None
        with Session(engine, expire_on_commit=False) as s:
            for row in data:
                last = Item(**item_dict(row))
                s.add(last)
                s.commit()
        return last

    def check(last):
        expect(last.id == len(data), "last id %r" % last.id)
        if memory:
            with engine.connect() as c:
                check_saved(c.connection.dbapi_connection, data)
        else:
            check_saved(path, data)

    return Runner(run, check, before, engine.dispose, units=len(data))


def sqlalchemy_saves_file(ctx):
    return _sa_saves(ctx, False)


def sqlalchemy_saves_memory(ctx):
    return _sa_saves(ctx, True)


def sqlalchemy_batch_insert(ctx):
    need("sqlalchemy")
    from sqlalchemy import insert
    from sqlalchemy.orm import Session

    Base, Item, *_ = _sa_models()
    path = ctx.new_file("sqlalchemy_batch")
    engine = _sa_engine(path)
    data = ctx.items[:ctx.sizes.batch]

    def run():
        with Session(engine) as s:
            s.execute(insert(Item), [item_dict(r) for r in data])
            s.commit()
        return len(data)

    return Runner(run, lambda n: check_saved(path, data), lambda: clear_items(path), engine.dispose,
                  units=len(data), note="ORM bulk insert")


def sqlalchemy_paging(ctx):
    need("sqlalchemy")
    from sqlalchemy import func, select
    from sqlalchemy.orm import Session

    Base, Item, *_ = _sa_models()
    engine = _sa_engine(ctx.read_db)
    s_ = ctx.sizes

    def run():
        page = None
        with Session(engine, expire_on_commit=False) as s:
            for _ in range(s_.page_calls):
                cond = Item.qty >= MIN_QTY
                total = s.scalar(select(func.count(Item.id)).where(cond))
                content = s.scalars(select(Item).where(cond).order_by(Item.id).limit(s_.page_size)
                                    .offset((s_.page - 1) * s_.page_size)).all()
                s.commit()
                page = dict(total=total, content=content)
        return page

    def check(page):
        with Session(engine) as s:
            page["content"] = [s.merge(o, load=False) for o in page["content"]]
            raw.check_page(page, ctx)

    return Runner(run, check, close=engine.dispose, units=s_.page_calls)


def sqlalchemy_relations(ctx):
    need("sqlalchemy")
    from sqlalchemy import select
    from sqlalchemy.orm import Session, selectinload

    Base, Item, User, Profile, Post, Role = _sa_models()
    engine = _sa_engine(ctx.read_db)
    box = {}

    def run():
        s = Session(engine)
        box["s"] = s
        return s.scalars(select(User).options(selectinload(User.profile), selectinload(User.posts),
                                              selectinload(User.roles))).all()

    def check(users):
        try:
            raw.check_relations(users, ctx)
        finally:
            box.pop("s").close()

    return Runner(run, check, close=engine.dispose, units=ctx.sizes.owners, note="selectinload")


# =================================================================== Pony

def _pony_models(path, create=False):
    from pony import orm

    db = orm.Database()

    class Item(db.Entity):
        _table_ = "bench_item"
        id = orm.PrimaryKey(int, auto=True)
        name = orm.Required(str, 32)
        qty = orm.Required(int)
        price = orm.Required(float)
        flag = orm.Required(bool)
        note = orm.Optional(str, nullable=True)

    if path == ":memory:":
        db.bind(provider="sqlite", filename=":memory:")
        db.generate_mapping(create_tables=True)
    else:
        db.bind(provider="sqlite", filename=path, create_db=create)
        db.generate_mapping(create_tables=False, check_tables=False)
    return db, Item


def pony_fetch_all(ctx):
    need("pony")
    from pony import orm

    db, Item = _pony_models(ctx.read_db)

    def run():
        with orm.db_session:
            return orm.select(i for i in Item)[:]

    def check(rows):
        with orm.db_session:
            check_all_items([Item[r.id] for r in rows], ctx.items)

    return Runner(run, lambda rows: check_all_items(rows, ctx.items), close=db.disconnect, units=len(ctx.items))


def pony_lookups(ctx):
    need("pony")
    from pony import orm

    db, Item = _pony_models(ctx.read_db)

    def run():
        out = []
        for k in ctx.keys:
            with orm.db_session:
                out.append(Item[k])
        return out

    return Runner(run, lambda res: raw.check_lookups(res, ctx), close=db.disconnect, units=len(ctx.keys),
                  note="a db_session per lookup")


def _pony_saves(ctx, memory):
    need("pony")
    from pony import orm

    path = ":memory:" if memory else ctx.new_file("pony_saves")
    db, Item = _pony_models(path)
    data = ctx.items[:ctx.sizes.saves]

    def before():
        if memory:
            with orm.db_session:
                db.execute("DELETE FROM bench_item")
                # Pony's own table is AUTOINCREMENT: restart its ids as the others' do.
                db.execute("DELETE FROM sqlite_sequence WHERE name = 'bench_item'")
        else:
            clear_items(path)

    def run():
        last = None
        for row in data:
            with orm.db_session:
                last = Item(**item_dict(row))
        return last

    def check(last):
        expect(last.id == len(data), "last id %r" % last.id)
        if memory:
            with orm.db_session:
                got = db.select("SELECT name, qty, price, flag, note FROM bench_item ORDER BY id")
            want = [(r[0], r[1], r[2], int(r[3]), r[4] if r[4] is not None else None) for r in data]
            expect([tuple(g) for g in got] == want, "saved rows differ")
        else:
            check_saved(path, data)

    return Runner(run, check, before, db.disconnect, units=len(data), note="a db_session per save")


def pony_saves_file(ctx):
    return _pony_saves(ctx, False)


def pony_saves_memory(ctx):
    return _pony_saves(ctx, True)


def pony_batch_insert(ctx):
    need("pony")
    from pony import orm

    path = ctx.new_file("pony_batch")
    db, Item = _pony_models(path)
    data = ctx.items[:ctx.sizes.batch]

    def run():
        with orm.db_session:
            for row in data:
                Item(**item_dict(row))
        return len(data)

    return Runner(run, lambda n: check_saved(path, data), lambda: clear_items(path), db.disconnect,
                  units=len(data), note="objects in one db_session")


def pony_paging(ctx):
    need("pony")
    from pony import orm

    db, Item = _pony_models(ctx.read_db)
    s = ctx.sizes

    def run():
        page = None
        for _ in range(s.page_calls):
            with orm.db_session:
                q = orm.select(i for i in Item if i.qty >= MIN_QTY)
                total = q.count()
                content = q.order_by(Item.id).page(s.page, s.page_size)
                page = dict(total=total, content=list(content))
        return page

    return Runner(run, lambda p: raw.check_page(p, ctx), close=db.disconnect, units=s.page_calls,
                  note="a db_session per page")


# ======================================================= library (batched)

def _pw_library(path):
    import peewee as pw

    db = pw.SqliteDatabase(path, timeout=99999)

    class Base(pw.Model):
        class Meta:
            database = db

    class Author(Base):
        id = pw.AutoField()
        name = pw.CharField(64)

        class Meta:
            table_name = "lib_author"

    class Profile(Base):
        id = pw.AutoField()
        author = pw.ForeignKeyField(Author, column_name="author_id", backref="profiles")
        bio = pw.TextField(null=True)

        class Meta:
            table_name = "lib_profile"

    class Book(Base):
        id = pw.AutoField()
        author = pw.ForeignKeyField(Author, column_name="author_id", backref="books")
        title = pw.CharField(200)
        year = pw.IntegerField()

        class Meta:
            table_name = "lib_book"

    class Tag(Base):
        id = pw.AutoField()
        name = pw.CharField(50)

        class Meta:
            table_name = "lib_tag"

    class BookTag(Base):
        id = pw.AutoField()
        book = pw.ForeignKeyField(Book, column_name="lib_book_id", backref="book_tags")
        tag = pw.ForeignKeyField(Tag, column_name="lib_tag_id", backref="tag_books")

        class Meta:
            table_name = "lib_book_tag"

    db.connect()
    return db, Author, Profile, Book, Tag, BookTag


def peewee_library(ctx, depth):
    need("peewee")
    import peewee as pw

    db, Author, Profile, Book, Tag, BookTag = _pw_library(ctx.read_db)
    subqueries = (Profile, Book) + ((BookTag, Tag) if depth > 1 else ())

    def run():
        return list(pw.prefetch(Author.select(), *subqueries))

    def check(authors):
        raw.check_library(authors, ctx, depth, profile=lambda a: a.profiles[0], books=lambda a: a.books,
                          tags=lambda b: [bt.tag for bt in b.book_tags])

    return Runner(run, check, close=db.close, units=ctx.sizes.authors, note="prefetch")


_sa_lib = None


def _sa_library():
    global _sa_lib
    if _sa_lib is not None:
        return _sa_lib
    from sqlalchemy import Column, ForeignKey, Integer, String, Table, Text
    from sqlalchemy.orm import DeclarativeBase, relationship

    class Base(DeclarativeBase):
        pass

    book_tag = Table("lib_book_tag", Base.metadata,
                     Column("id", Integer, primary_key=True),
                     Column("lib_book_id", Integer, ForeignKey("lib_book.id")),
                     Column("lib_tag_id", Integer, ForeignKey("lib_tag.id")))

    class Profile(Base):
        __tablename__ = "lib_profile"
        id = Column(Integer, primary_key=True)
        author_id = Column(Integer, ForeignKey("lib_author.id"))
        bio = Column(Text)

    class Tag(Base):
        __tablename__ = "lib_tag"
        id = Column(Integer, primary_key=True)
        name = Column(String(50))

    class Book(Base):
        __tablename__ = "lib_book"
        id = Column(Integer, primary_key=True)
        author_id = Column(Integer, ForeignKey("lib_author.id"))
        title = Column(String(200))
        year = Column(Integer)
        tags = relationship(Tag, secondary=book_tag)

    class Author(Base):
        __tablename__ = "lib_author"
        id = Column(Integer, primary_key=True)
        name = Column(String(64))
        profile = relationship(Profile, uselist=False)
        books = relationship(Book)

    _sa_lib = (Author, Book)
    return _sa_lib


def sqlalchemy_library(ctx, depth):
    need("sqlalchemy")
    from sqlalchemy import select
    from sqlalchemy.orm import Session, selectinload

    Author, Book = _sa_library()
    engine = _sa_engine(ctx.read_db)
    box = {}
    books = selectinload(Author.books)
    options = [selectinload(Author.profile), books.selectinload(Book.tags) if depth > 1 else books]

    def run():
        s = Session(engine)
        box["s"] = s
        return s.scalars(select(Author).options(*options)).all()

    def check(authors):
        try:
            raw.check_library(authors, ctx, depth)
        finally:
            box.pop("s").close()

    return Runner(run, check, close=engine.dispose, units=ctx.sizes.authors, note="selectinload")


# ============================================================ PostgreSQL
# The same ORMs on PostgreSQL through psycopg 3: SQLAlchemy's
# postgresql+psycopg dialect and peewee's PostgresqlDatabase (psycopg 3 when
# psycopg2 is not installed).  The tables are the bench's own (common.PG_DDL).

def pg_url(settings, driver):
    return "postgresql+%s://%s:%s@%s:%d/%s" % (driver, settings["user"], settings["password"], settings["host"],
                                              settings["port"], settings["db"])


_sa_pg = None


def _sa_pg_models():
    """bench_new, bench_edit and bench_wide for SQLAlchemy (bench_item and
    the library are the SQLite models': same layouts)."""
    global _sa_pg
    if _sa_pg is not None:
        return _sa_pg
    import json

    from sqlalchemy import BigInteger, Boolean, Column, Date, DateTime, Float, Integer, Numeric, String, Text
    from sqlalchemy.orm import DeclarativeBase
    from sqlalchemy.types import TypeDecorator

    class JsonText(TypeDecorator):
        """JSON kept in a TEXT column."""
        impl = Text
        cache_ok = True

        def process_bind_param(self, value, dialect):
            return None if value is None else json.dumps(value)

        def process_result_value(self, value, dialect):
            return None if value is None else json.loads(value)

    class Base(DeclarativeBase):
        pass

    def item(cls_name, table):
        return type(cls_name, (Base,), dict(
            __tablename__=table, id=Column(BigInteger, primary_key=True), name=Column(String(32), nullable=False),
            qty=Column(Integer, nullable=False), price=Column(Float, nullable=False),
            flag=Column(Boolean, nullable=False), note=Column(Text, nullable=True)))

    class Wide(Base):
        __tablename__ = "bench_wide"
        id = Column(BigInteger, primary_key=True)
        name = Column(String(32))
        title = Column(String(64))
        code = Column(String(16))
        qty = Column(Integer)
        stock = Column(Integer)
        rank = Column(Integer)
        price = Column(Float)
        flag = Column(Boolean)
        created = Column(DateTime)
        day = Column(Date)
        amount = Column(Numeric(12, 2))
        meta = Column(JsonText, nullable=True)
        note = Column(Text, nullable=True)

    _sa_pg = (item("PgNew", "bench_new"), item("PgEdit", "bench_edit"), Wide)
    return _sa_pg


def _sa_pg_engine(m):
    need("sqlalchemy")
    need("psycopg")
    from sqlalchemy import create_engine

    return create_engine(pg_url(m.pg, "psycopg"))


def sqlalchemy_pg_fetch_wide(m):
    import wide
    from sqlalchemy import select
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    Wide = _sa_pg_models()[2]

    def run():
        with Session(engine, expire_on_commit=False) as s:
            rows = s.scalars(select(Wide)).all()
            s.commit()
        return rows

    return Runner(run, lambda rows: wide.check_fetched(rows, m.wide), close=engine.dispose, units=len(m.wide))


def sqlalchemy_pg_lookups(m):
    from sqlalchemy import select
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    Item = _sa_models()[1]

    def run():
        out = []
        with Session(engine, expire_on_commit=False) as s:
            for k in m.keys:
                out.append(s.scalars(select(Item).where(Item.id == k)).one())
                s.commit()
        return out

    return Runner(run, lambda res: raw.check_lookups(res, m), close=engine.dispose, units=len(m.keys),
                  note="one session, a commit per statement")


def sqlalchemy_pg_saves(m):
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    New = _sa_pg_models()[0]

    def run():
        last = None
        with Session(engine, expire_on_commit=False) as s:
            for row in m.new_data:
                last = New(**item_dict(row))
                s.add(last)
                s.commit()
        return last.id

    return Runner(run, m.check_saves, m.truncate_new, engine.dispose, units=len(m.new_data))


def sqlalchemy_pg_updates(m):
    from common import rewritten
    from sqlalchemy import select
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    Edit = _sa_pg_models()[1]

    def run():
        with Session(engine, expire_on_commit=False) as s:
            for k in m.edit_keys:
                row = s.scalars(select(Edit).where(Edit.id == k)).one()
                s.commit()
                row.qty, row.note = rewritten(row)
                s.commit()
        return len(m.edit_keys)

    return Runner(run, m.check_edits, m.reload_edit, engine.dispose, units=len(m.edit_keys))


def sqlalchemy_pg_batch(m):
    from sqlalchemy import insert
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    New = _sa_pg_models()[0]

    def run():
        with Session(engine) as s:
            s.execute(insert(New), [item_dict(r) for r in m.batch_data])
            s.commit()
        return len(m.batch_data)

    return Runner(run, m.check_batch, m.truncate_new, engine.dispose, units=len(m.batch_data),
                  note="ORM bulk insert")


def sqlalchemy_pg_paging(m):
    from sqlalchemy import func, select
    from sqlalchemy.orm import Session

    engine = _sa_pg_engine(m)
    Item = _sa_models()[1]
    sz = m.sizes

    def run():
        page = None
        with Session(engine, expire_on_commit=False) as s:
            for _ in range(sz.page_calls):
                cond = Item.qty >= MIN_QTY
                total = s.scalar(select(func.count(Item.id)).where(cond))
                s.commit()
                content = s.scalars(select(Item).where(cond).order_by(Item.id).limit(sz.page_size)
                                    .offset((sz.page - 1) * sz.page_size)).all()
                s.commit()
                page = dict(total=total, content=content)
        return page

    return Runner(run, lambda p: raw.check_page(p, m), close=engine.dispose, units=sz.page_calls)


def sqlalchemy_pg_library(m, depth):
    from sqlalchemy import select
    from sqlalchemy.orm import Session, selectinload

    engine = _sa_pg_engine(m)
    Author, Book = _sa_library()
    books = selectinload(Author.books)
    options = [selectinload(Author.profile), books.selectinload(Book.tags) if depth > 1 else books]

    def run():
        with Session(engine, expire_on_commit=False) as s:
            authors = s.scalars(select(Author).options(*options)).all()
            s.commit()
        return authors

    return Runner(run, lambda authors: raw.check_library(authors, m, depth), close=engine.dispose,
                  units=m.sizes.authors, note="selectinload")


def _pw_pg(m):
    """peewee's models of the PostgreSQL tables on one database handle, in
    autocommit mode (each statement its own transaction)."""
    need("peewee")
    need("psycopg")
    import json

    import peewee as pw

    st = m.pg
    db = pw.PostgresqlDatabase(st["db"], host=st["host"], port=st["port"], user=st["user"],
                               password=st["password"])

    class JsonText(pw.TextField):
        def db_value(self, value):
            return None if value is None else json.dumps(value)

        def python_value(self, value):
            return None if value is None else json.loads(value)

    class Base(pw.Model):
        class Meta:
            database = db

    def item(cls_name, table):
        return type(cls_name, (Base,), dict(
            id=pw.BigAutoField(), name=pw.CharField(32), qty=pw.IntegerField(), price=pw.DoubleField(),
            flag=pw.BooleanField(), note=pw.TextField(null=True), Meta=type("Meta", (), dict(table_name=table))))

    class Wide(Base):
        id = pw.BigIntegerField(primary_key=True)
        name = pw.CharField(32)
        title = pw.CharField(64)
        code = pw.CharField(16)
        qty = pw.IntegerField()
        stock = pw.IntegerField()
        rank = pw.IntegerField()
        price = pw.DoubleField()
        flag = pw.BooleanField()
        created = pw.DateTimeField()
        day = pw.DateField()
        amount = pw.DecimalField(12, 2)
        meta = JsonText(null=True)
        note = pw.TextField(null=True)

        class Meta:
            table_name = "bench_wide"

    class Author(Base):
        id = pw.BigAutoField()
        name = pw.CharField(64)

        class Meta:
            table_name = "lib_author"

    class Profile(Base):
        id = pw.BigAutoField()
        author = pw.ForeignKeyField(Author, column_name="author_id", backref="profiles")
        bio = pw.TextField(null=True)

        class Meta:
            table_name = "lib_profile"

    class Book(Base):
        id = pw.BigAutoField()
        author = pw.ForeignKeyField(Author, column_name="author_id", backref="books")
        title = pw.CharField(200)
        year = pw.IntegerField()

        class Meta:
            table_name = "lib_book"

    class Tag(Base):
        id = pw.BigAutoField()
        name = pw.CharField(50)

        class Meta:
            table_name = "lib_tag"

    class BookTag(Base):
        id = pw.BigAutoField()
        book = pw.ForeignKeyField(Book, column_name="lib_book_id", backref="book_tags")
        tag = pw.ForeignKeyField(Tag, column_name="lib_tag_id", backref="tag_books")

        class Meta:
            table_name = "lib_book_tag"

    class N:
        pass

    N.db, N.Item, N.New, N.Edit, N.Wide = db, item("Item", "bench_item"), item("New", "bench_new"), \
        item("Edit", "bench_edit"), Wide
    N.Author, N.Profile, N.Book, N.Tag, N.BookTag = Author, Profile, Book, Tag, BookTag
    db.connect()
    return N


def peewee_pg_fetch_wide(m):
    import wide

    N = _pw_pg(m)
    return Runner(lambda: list(N.Wide.select()), lambda rows: wide.check_fetched(rows, m.wide), close=N.db.close,
                  units=len(m.wide))


def peewee_pg_lookups(m):
    N = _pw_pg(m)
    return Runner(lambda: [N.Item.get_by_id(k) for k in m.keys], lambda res: raw.check_lookups(res, m),
                  close=N.db.close, units=len(m.keys))


def peewee_pg_saves(m):
    N = _pw_pg(m)

    def run():
        last = None
        for row in m.new_data:
            last = N.New.create(**item_dict(row))
        return last.id

    return Runner(run, m.check_saves, m.truncate_new, N.db.close, units=len(m.new_data))


def peewee_pg_updates(m):
    from common import rewritten

    N = _pw_pg(m)

    def run():
        for k in m.edit_keys:
            row = N.Edit.get_by_id(k)
            row.qty, row.note = rewritten(row)
            row.save(only=[N.Edit.qty, N.Edit.note])
        return len(m.edit_keys)

    return Runner(run, m.check_edits, m.reload_edit, N.db.close, units=len(m.edit_keys),
                  note="save(only=[qty, note])")


def peewee_pg_batch(m):
    import peewee as pw

    N = _pw_pg(m)
    fields = [N.New.name, N.New.qty, N.New.price, N.New.flag, N.New.note]

    def run():
        with N.db.atomic():
            for chunk in pw.chunked(m.batch_data, 1000):
                N.New.insert_many(chunk, fields=fields).execute()
        return len(m.batch_data)

    return Runner(run, m.check_batch, m.truncate_new, N.db.close, units=len(m.batch_data))


def peewee_pg_paging(m):
    N = _pw_pg(m)
    s = m.sizes
    Item = N.Item

    def run():
        page = None
        for _ in range(s.page_calls):
            q = Item.select().where(Item.qty >= MIN_QTY)
            total = q.count()
            page = dict(total=total, content=list(q.order_by(Item.id).paginate(s.page, s.page_size)))
        return page

    return Runner(run, lambda p: raw.check_page(p, m), close=N.db.close, units=s.page_calls)


def peewee_pg_library(m, depth):
    import peewee as pw

    N = _pw_pg(m)
    subqueries = (N.Profile, N.Book) + ((N.BookTag, N.Tag) if depth > 1 else ())

    def run():
        return list(pw.prefetch(N.Author.select(), *subqueries))

    def check(authors):
        raw.check_library(authors, m, depth, profile=lambda a: a.profiles[0], books=lambda a: a.books,
                          tags=lambda b: [bt.tag for bt in b.book_tags])

    return Runner(run, check, close=N.db.close, units=m.sizes.authors, note="prefetch")
