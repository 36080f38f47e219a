"""The other asynchronous ORMs on aiosqlite: Tortoise ORM and SQLAlchemy
asyncio.  Each run is one unit of work / one transaction, like the task the
Tavrik connector commits when it ends."""
import importlib.util

from common import Skip
import raw

try:
    from tortoise import fields as _tf
    from tortoise.models import Model as _TModel

    class TItem(_TModel):
        id = _tf.IntField(primary_key=True)
        name = _tf.CharField(32)
        qty = _tf.IntField()
        price = _tf.FloatField()
        flag = _tf.BooleanField()
        note = _tf.TextField(null=True)

        class Meta:
            table = "bench_item"
            app = "bench"
except Exception:  # not installed, or an API this version does not have
    TItem = None


def need(mod):
    if importlib.util.find_spec(mod) is None:
        raise Skip("%s not installed" % mod)


def item_dict(row):
    return dict(name=row[0], qty=row[1], price=row[2], flag=row[3], note=row[4])


# ================================================================ Tortoise

class TortoiseImpl:
    name = "Tortoise"

    def __init__(self):
        need("tortoise")
        if TItem is None:
            raise Skip("tortoise models could not be declared")
        self.path = None

    async def open(self, path):
        from tortoise import Tortoise

        if self.path == path:
            return
        await self.close()
        await Tortoise.init(db_url="sqlite://" + path, modules={"bench": [__name__]})
        self.path = path

    async def close(self):
        from tortoise import Tortoise

        if self.path is not None:
            await Tortoise.close_connections()
            self.path = None

    async def fetch_all(self, ctx):
        await self.open(ctx.read_db)
        return await TItem.all()

    async def lookups(self, ctx):
        from tortoise.transactions import in_transaction

        await self.open(ctx.read_db)
        out = []
        async with in_transaction():
            for k in ctx.keys:
                out.append(await TItem.get(id=k))
        return out

    async def saves(self, ctx, path, data):
        from tortoise.transactions import in_transaction

        await self.open(path)
        last = None
        async with in_transaction():
            for row in data:
                last = await TItem.create(**item_dict(row))
        return last.id

    async def paging(self, ctx):
        from tortoise.transactions import in_transaction

        await self.open(ctx.read_db)
        s = ctx.sizes
        page = None
        async with in_transaction():
            for _ in range(s.page_calls):
                q = TItem.filter(qty__gte=raw.MIN_QTY)
                total = await q.count()
                content = await q.order_by("id").offset((s.page - 1) * s.page_size).limit(s.page_size)
                page = dict(total=total, content=content)
        return page


# ====================================================== SQLAlchemy asyncio

class SAAsyncImpl:
    name = "SQLAlchemy async"

    def __init__(self):
        need("sqlalchemy")
        need("greenlet")
        from others_sync import _sa_models

        self.Item = _sa_models()[1]
        self.engines = {}

    def engine(self, path):
        from sqlalchemy.ext.asyncio import create_async_engine

        if path not in self.engines:
            self.engines[path] = create_async_engine("sqlite+aiosqlite:///" + path)
        return self.engines[path]

    async def close(self):
        for e in self.engines.values():
            await e.dispose()
        self.engines.clear()

    async def fetch_all(self, ctx):
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession

        async with AsyncSession(self.engine(ctx.read_db), expire_on_commit=False) as s:
            rows = (await s.scalars(select(self.Item))).all()
            await s.commit()
        return rows

    async def lookups(self, ctx):
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession

        Item = self.Item
        out = []
        async with AsyncSession(self.engine(ctx.read_db), expire_on_commit=False) as s:
            for k in ctx.keys:
                out.append((await s.scalars(select(Item).where(Item.id == k))).one())
            await s.commit()
        return out

    async def saves(self, ctx, path, data):
        from sqlalchemy.ext.asyncio import AsyncSession

        last = None
        async with AsyncSession(self.engine(path), expire_on_commit=False) as s:
            for row in data:
                last = self.Item(**item_dict(row))
                s.add(last)
                await s.flush()
            await s.commit()
        return last.id

    async def paging(self, ctx):
        from sqlalchemy import func, select
        from sqlalchemy.ext.asyncio import AsyncSession

        Item = self.Item
        sz = ctx.sizes
        page = None
        async with AsyncSession(self.engine(ctx.read_db), expire_on_commit=False) as s:
            for _ in range(sz.page_calls):
                cond = Item.qty >= raw.MIN_QTY
                total = await s.scalar(select(func.count(Item.id)).where(cond))
                content = (await s.scalars(select(Item).where(cond).order_by(Item.id).limit(sz.page_size)
                                           .offset((sz.page - 1) * sz.page_size))).all()
                page = dict(total=total, content=content)
            await s.commit()
        return page


# ============================================================ PostgreSQL
# Tortoise and SQLAlchemy asyncio on asyncpg, each run one transaction.

try:
    def _t_item(cls_name, table):
        return type(cls_name, (_TModel,), dict(
            __module__=__name__, id=_tf.BigIntField(primary_key=True), name=_tf.CharField(32), qty=_tf.IntField(),
            price=_tf.FloatField(), flag=_tf.BooleanField(), note=_tf.TextField(null=True),
            Meta=type("Meta", (), dict(table=table, app="bench_pg"))))

    PItem = _t_item("PItem", "bench_item")
    PNew = _t_item("PNew", "bench_new")
    PEdit = _t_item("PEdit", "bench_edit")

    class PWide(_TModel):
        id = _tf.BigIntField(primary_key=True)
        name = _tf.CharField(32)
        title = _tf.CharField(64)
        code = _tf.CharField(16)
        qty = _tf.IntField()
        stock = _tf.IntField()
        rank = _tf.IntField()
        price = _tf.FloatField()
        flag = _tf.BooleanField()
        created = _tf.DatetimeField()
        day = _tf.DateField()
        amount = _tf.DecimalField(12, 2)
        meta = _tf.JSONField(null=True)
        note = _tf.TextField(null=True)

        class Meta:
            table = "bench_wide"
            app = "bench_pg"

    class PAuthor(_TModel):
        id = _tf.BigIntField(primary_key=True)
        name = _tf.CharField(64)

        class Meta:
            table = "lib_author"
            app = "bench_pg"

    class PProfile(_TModel):
        id = _tf.BigIntField(primary_key=True)
        author = _tf.ForeignKeyField("bench_pg.PAuthor", related_name="profiles", source_field="author_id")
        bio = _tf.TextField(null=True)

        class Meta:
            table = "lib_profile"
            app = "bench_pg"

    class PTag(_TModel):
        id = _tf.BigIntField(primary_key=True)
        name = _tf.CharField(50)

        class Meta:
            table = "lib_tag"
            app = "bench_pg"

    class PBook(_TModel):
        id = _tf.BigIntField(primary_key=True)
        author = _tf.ForeignKeyField("bench_pg.PAuthor", related_name="books", source_field="author_id")
        title = _tf.CharField(200)
        year = _tf.IntField()
        tags = _tf.ManyToManyField("bench_pg.PTag", through="lib_book_tag", forward_key="lib_tag_id",
                                   backward_key="lib_book_id", related_name="books")

        class Meta:
            table = "lib_book"
            app = "bench_pg"
except Exception:  # not installed, or an API this version does not have
    PItem = None


class TortoisePgImpl:
    name = "Tortoise"
    notes = dict(fetch_wide="TIMESTAMP handed back as aware UTC datetimes", library="prefetch_related")

    def __init__(self, settings):
        need("tortoise")
        need("asyncpg")
        if PItem is None:
            raise Skip("tortoise models could not be declared")
        self.settings = settings
        self.open_ = False

    async def open(self):
        from tortoise import Tortoise

        if self.open_:
            return
        st = self.settings
        await Tortoise.init(db_url="asyncpg://%s:%s@%s:%d/%s" % (st["user"], st["password"], st["host"], st["port"],
                                                                 st["db"]),
                            modules={"bench_pg": [__name__]})
        self.open_ = True

    async def close(self):
        from tortoise import Tortoise

        if self.open_:
            await Tortoise.close_connections()
            self.open_ = False

    async def fetch_wide(self, m):
        from tortoise.transactions import in_transaction

        await self.open()
        async with in_transaction():
            return await PWide.all()

    async def lookups(self, m):
        from tortoise.transactions import in_transaction

        await self.open()
        out = []
        async with in_transaction():
            for k in m.keys:
                out.append(await PItem.get(id=k))
        return out

    async def saves(self, m):
        from tortoise.transactions import in_transaction

        await self.open()
        last = None
        async with in_transaction():
            for row in m.new_data:
                last = await PNew.create(**item_dict(row))
        return last.id

    async def updates(self, m):
        from common import rewritten
        from tortoise.transactions import in_transaction

        await self.open()
        async with in_transaction():
            for k in m.edit_keys:
                row = await PEdit.get(id=k)
                row.qty, row.note = rewritten(row)
                await row.save(update_fields=["qty", "note"])
        return len(m.edit_keys)

    async def batch(self, m):
        from tortoise.transactions import in_transaction

        await self.open()
        async with in_transaction():
            await PNew.bulk_create([PNew(**item_dict(r)) for r in m.batch_data], batch_size=1000)
        return len(m.batch_data)

    async def paging(self, m):
        from tortoise.transactions import in_transaction

        await self.open()
        s = m.sizes
        page = None
        async with in_transaction():
            for _ in range(s.page_calls):
                q = PItem.filter(qty__gte=raw.MIN_QTY)
                total = await q.count()
                content = await q.order_by("id").offset((s.page - 1) * s.page_size).limit(s.page_size)
                page = dict(total=total, content=content)
        return page

    @staticmethod
    def check_fetch_wide(m):
        import wide

        return lambda rows: wide.check_fetched(rows, m.wide, aware_utc=True)

    @staticmethod
    def check_library(m):
        return lambda authors: raw.check_library(authors, m, 2, profile=lambda a: a.profiles[0],
                                                 books=lambda a: a.books, tags=lambda b: b.tags)

    async def library(self, m, depth):
        from tortoise.transactions import in_transaction

        await self.open()
        async with in_transaction():
            return await PAuthor.all().prefetch_related("profiles", "books__tags" if depth > 1 else "books")


class SAAsyncPgImpl:
    name = "SQLAlchemy async"

    def __init__(self, settings):
        need("sqlalchemy")
        need("greenlet")
        need("asyncpg")
        from others_sync import _sa_models, _sa_pg_models, pg_url

        self.Item = _sa_models()[1]
        self.New, self.Edit, self.Wide = _sa_pg_models()
        self.url = pg_url(settings, "asyncpg")
        self.engine_ = None

    def engine(self):
        from sqlalchemy.ext.asyncio import create_async_engine

        if self.engine_ is None:
            self.engine_ = create_async_engine(self.url)
        return self.engine_

    async def close(self):
        if self.engine_ is not None:
            await self.engine_.dispose()
            self.engine_ = None

    def session(self):
        from sqlalchemy.ext.asyncio import AsyncSession

        return AsyncSession(self.engine(), expire_on_commit=False)

    async def fetch_wide(self, m):
        from sqlalchemy import select

        async with self.session() as s:
            rows = (await s.scalars(select(self.Wide))).all()
            await s.commit()
        return rows

    async def lookups(self, m):
        from sqlalchemy import select

        Item = self.Item
        out = []
        async with self.session() as s:
            for k in m.keys:
                out.append((await s.scalars(select(Item).where(Item.id == k))).one())
            await s.commit()
        return out

    async def saves(self, m):
        last = None
        async with self.session() as s:
            for row in m.new_data:
                last = self.New(**item_dict(row))
                s.add(last)
                await s.flush()
            await s.commit()
        return last.id

    async def updates(self, m):
        from common import rewritten
        from sqlalchemy import select

        Edit = self.Edit
        async with self.session() as s:
            for k in m.edit_keys:
                row = (await s.scalars(select(Edit).where(Edit.id == k))).one()
                row.qty, row.note = rewritten(row)
                await s.flush()
            await s.commit()
        return len(m.edit_keys)

    async def batch(self, m):
        from sqlalchemy import insert

        async with self.session() as s:
            await s.execute(insert(self.New), [item_dict(r) for r in m.batch_data])
            await s.commit()
        return len(m.batch_data)

    async def paging(self, m):
        from sqlalchemy import func, select

        Item = self.Item
        sz = m.sizes
        page = None
        async with self.session() as s:
            for _ in range(sz.page_calls):
                cond = Item.qty >= raw.MIN_QTY
                total = await s.scalar(select(func.count(Item.id)).where(cond))
                content = (await s.scalars(select(Item).where(cond).order_by(Item.id).limit(sz.page_size)
                                           .offset((sz.page - 1) * sz.page_size))).all()
                page = dict(total=total, content=content)
            await s.commit()
        return page

    async def library(self, m, depth):
        from others_sync import _sa_library
        from sqlalchemy import select
        from sqlalchemy.orm import selectinload

        Author, Book = _sa_library()
        books = selectinload(Author.books)
        options = [selectinload(Author.profile), books.selectinload(Book.tags) if depth > 1 else books]
        async with self.session() as s:
            authors = (await s.scalars(select(Author).options(*options))).all()
            await s.commit()
        return authors
