"""Tavrik example application.

    python examples/app.py demo.db                 # synchronous and asynchronous SQLite
    python examples/app.py --mysql HOST:PORT:USER:PASSWORD:DB

Declares users with a profile (1:1), posts (1:N) and roles (M:N), creates the
tables, saves rows with their related rows, queries, pages, updates, deletes
and loads relations in depth; first on the synchronous road, then on the
asynchronous one.
"""
import asyncio
import datetime
import os
import sys
from typing import Any, List, Union

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, Sqlite3Connector  # noqa: E402
from Tavrik.DB.DB import DB  # noqa: E402
from Tavrik.DB.Generator import TableGenerator  # noqa: E402
from Tavrik.Ext import generate_table  # noqa: E402
from Tavrik.Ext.Decorators import use_database  # noqa: E402
from Tavrik.Ext.Olvane import Olvane  # noqa: E402

from models import Post, Profile, Role, User  # noqa: E402


def step(title: str) -> None:
    print("\n== " + title)


def show_user(u: User) -> None:
    roles = ", ".join(r.name for r in u.get("roles") or [])
    posts = ", ".join(p.title for p in u.get("posts") or [])
    profile = u.get("profile")
    print("  #%s %-6s profile=%r posts=[%s] roles=[%s]" % (
        u.id, u.name, profile.bio if profile else None, posts, roles))


def sync_part(path: str) -> None:
    step("synchronous road on the SQLite file %s" % path)
    connector = Sqlite3Connector(path, showLog=False)
    DB.create(connector)
    print("  the DDL Tavrik writes for User:\n    " + TableGenerator(User, connector).sql())
    generate_table()
    print("  tables:", ", ".join(sorted(connector.getTableNameList())))

    step("save rows with their related rows")
    admin, editor = Role(name="admin"), Role(name="editor")
    roles = Role.getSyncExecutor()
    roles.save(admin)
    roles.save(editor)
    users = User.getSyncExecutor()
    ada = users.save(User(
        name="ada", email="ada@example.org",
        profile=Profile(bio="first programmer"),
        posts=[Post(title="Notes on the engine", created=datetime.datetime(1843, 9, 1)),
               Post(title="On Bernoulli numbers", published=True)],
        roles=[admin, editor],
    ))
    print("  saved ada with id", ada.id, "- her profile got user_id", ada.profile.user_id if ada.profile else None)
    users.save(User(name="alan", posts=[Post(title="Computable numbers")], roles=[editor]))
    for i in range(12):
        users.save(User(name="user%02d" % i))

    step("query")
    found = users.findOneBy(User.name == "ada")
    print("  findOneBy(name == 'ada') ->", dict(found))
    print("  findAllBy(name like 'user0%') ->", [u.name for u in users.findAllBy(User.name.like("user0%"))])
    print("  findAnyMatch(User(name='alan')) ->", [u.id for u in users.findAnyMatch(User(name="alan", check=False))])
    print("  posts published:", [p.title for p in Post.getSyncExecutor().findAllBy(Post.published == True)])  # noqa: E712

    step("load relations in depth")
    everyone = users.findAllBy(User.name.in_(["ada", "alan"]))
    users.findListForeignKey(everyone)
    for u in everyone:
        show_user(u)

    step("page through users, 5 per page")
    for number in (1, 2, 3):
        page = Olvane(User, page=number, pageSize=5).filter().orderBy(User.id).execute()
        print("  page %d/%d of %d users: %s" % (page.page, page.totalPage, page.total,
                                                [u.name for u in page.content]))

    step("update and delete")
    found.name = "ada lovelace"
    users.update(found)
    print("  renamed:", users.findOneBy(User.id == found.id).name)
    users.save(User(id=found.id, name="ada king"))  # existing key: the insert turns into an update
    print("  saved again with the same id:", users.findOneBy(User.id == found.id).name)
    users.delete(users.findOneBy(User.name == "user11"))
    users.delete(None, User.name.like("user1%"))
    print("  users left:", len(users.findAllBy()))

    DB.drop()
    connector.close()


class Blog:
    """An application service whose method runs in one transaction."""

    con: Any  # the decorator's connection, while a decorated method runs

    @use_database
    async def publish_all(self, user_id: int) -> int:
        posts = Post.getAsyncExecutor(self.con)
        count = 0
        for post in await posts.findAllBy(Post.user_id == user_id):
            post.published = True
            await Post.getAsyncExecutor(self.con).update(post)
            count += 1
        return count


async def async_part(connector: Union[AioSqliteConnector, AioMysqlConnector], label: str) -> None:
    step("asynchronous road on " + label)
    DB.create(connector)
    while not connector.isReady:
        await asyncio.sleep(0.01)
    await generate_table(connector)

    async def writer() -> int:
        # One transaction, committed when the block ends: the code after it
        # can rely on the rows being there (a failed commit is raised here).
        async with connector.transaction() as con:
            users = User.getAsyncExecutor(con)
            grace = await users.save(User(name="grace", profile=Profile(bio="compilers"),
                                          posts=[Post(title="A-0"), Post(title="COBOL")],
                                          roles=[Role(name="admiral")]))
            for i in range(7):
                await users.save(User(name="async%02d" % i))
        return grace.id

    grace_id = await writer()

    async def endorse() -> None:
        # Read-modify-write: the locking read (SELECT ... FOR UPDATE on MySQL)
        # keeps a concurrent endorsement from being lost.
        async with connector.transaction() as con:
            profiles = Profile.getAsyncExecutor(con)
            profile = await profiles.findOneBy(Profile.user_id == grace_id, forUpdate=True)
            assert profile is not None  # saved with grace above
            profile.bio = (profile.bio or "") + "+"
            await profiles.update(profile)

    await asyncio.gather(*(asyncio.get_running_loop().create_task(endorse()) for _ in range(3)))

    async def reader() -> None:
        users = User.getAsyncExecutor()
        grace = await users.findOneBy(User.id == grace_id)
        assert grace is not None
        await users.findForeignKey(grace, deep=True)
        show_user(grace)
        print("  bio after three concurrent endorsements:", grace.profile.bio if grace.profile else None)
        print("  findOneBy for a missing name ->", await users.findOneBy(User.name == "nobody"))
        page = await Olvane(User, page=2, pageSize=3).filter().orderBy(User.id).execute()
        print("  page %d/%d: %s" % (page.page, page.totalPage, [u.name for u in page.content]))

    # A task of its own: a task is one transaction, committed when it ends.
    await asyncio.get_running_loop().create_task(reader())
    published = await Blog().publish_all(grace_id)
    print("  use_database committed", published, "published posts")
    DB.drop()
    # Commits this task's work, waits for the others, closes every connection
    # (asyncio.run would do it at its end too).
    await connector.close()


def main(argv: List[str]) -> int:
    if len(argv) >= 2 and argv[0] == "--mysql":
        host, port, user, password, db = argv[1].split(":", 4)

        async def run_mysql() -> None:
            loop = asyncio.get_running_loop()
            await async_part(AioMysqlConnector(loop, host=host, port=int(port), user=user,
                                               password=password, db=db, autocommit=False),
                             "MySQL %s:%s/%s" % (host, port, db))
        asyncio.run(run_mysql())
        return 0
    path = argv[0] if argv else "tavrik_demo.db"
    if os.path.exists(path):
        os.remove(path)
    sync_part(path)
    async_path = path + ".async"
    if os.path.exists(async_path):
        os.remove(async_path)

    async def run_sqlite() -> None:
        await async_part(AioSqliteConnector(asyncio.get_running_loop(), path=async_path, showLog=False),
                         "the SQLite file %s through aiosqlite" % async_path)
    asyncio.run(run_sqlite())
    print("\ndone.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
