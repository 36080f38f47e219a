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
