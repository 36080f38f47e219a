"""Shared pieces of the benchmark: sizes, the data set, the table layouts,
result checks and the runner protocol every implementation follows."""
import os
import platform
import random
import sqlite3
import sys

ITEM_COLS = ("id", "name", "qty", "price", "flag", "note")
ITEM_INSERT_COLS = ITEM_COLS[1:]

# One DDL for every implementation, so that all of them read and write the
# very same table layout.  The relation tables carry indexes on the columns
# the loaders filter on, as any real schema would.
SQLITE_DDL = [
    "CREATE TABLE IF NOT EXISTS bench_item (id INTEGER PRIMARY KEY, name VARCHAR(32) NOT NULL DEFAULT '', "
    "qty INTEGER NOT NULL DEFAULT 0, price REAL NOT NULL DEFAULT 0, flag INTEGER NOT NULL DEFAULT 0, note TEXT)",
    "CREATE TABLE IF NOT EXISTS rel_user (id INTEGER PRIMARY KEY, name VARCHAR(64) NOT NULL)",
    "CREATE TABLE IF NOT EXISTS rel_profile (id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, bio TEXT)",
    "CREATE TABLE IF NOT EXISTS rel_post (id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, "
    "title VARCHAR(200) NOT NULL)",
    "CREATE TABLE IF NOT EXISTS rel_role (id INTEGER PRIMARY KEY, name VARCHAR(50) NOT NULL)",
    "CREATE TABLE IF NOT EXISTS rel_user_role (id INTEGER PRIMARY KEY, rel_user_id INTEGER NOT NULL, "
    "rel_role_id INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS ix_profile_user ON rel_profile(user_id)",
    "CREATE INDEX IF NOT EXISTS ix_post_user ON rel_post(user_id)",
    "CREATE INDEX IF NOT EXISTS ix_user_role_user ON rel_user_role(rel_user_id)",
    # The library: authors with a profile (1:1), books (1:N) and the books'
    # tags (M:N through lib_book_tag).
    "CREATE TABLE IF NOT EXISTS lib_author (id INTEGER PRIMARY KEY, name VARCHAR(64) NOT NULL)",
    "CREATE TABLE IF NOT EXISTS lib_profile (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL, bio TEXT)",
    "CREATE TABLE IF NOT EXISTS lib_book (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL, "
    "title VARCHAR(200) NOT NULL, year INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS lib_tag (id INTEGER PRIMARY KEY, name VARCHAR(50) NOT NULL)",
    "CREATE TABLE IF NOT EXISTS lib_book_tag (id INTEGER PRIMARY KEY, lib_book_id INTEGER NOT NULL, "
    "lib_tag_id INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS ix_lib_profile_author ON lib_profile(author_id)",
    "CREATE INDEX IF NOT EXISTS ix_lib_book_author ON lib_book(author_id)",
    "CREATE INDEX IF NOT EXISTS ix_lib_book_tag_book ON lib_book_tag(lib_book_id)",
    "CREATE INDEX IF NOT EXISTS ix_lib_book_tag_tag ON lib_book_tag(lib_tag_id)",
]

MYSQL_DDL = [
    "DROP TABLE IF EXISTS bench_item",
    "CREATE TABLE bench_item (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(32) NOT NULL DEFAULT '', "
    "qty INT NOT NULL DEFAULT 0, price DOUBLE NOT NULL DEFAULT 0, flag TINYINT(1) NOT NULL DEFAULT 0, "
    "note TEXT NULL) ENGINE=InnoDB",
]

INSERT_ITEM = "INSERT INTO bench_item (name, qty, price, flag, note) VALUES (?, ?, ?, ?, ?)"
SELECT_ITEM = ("SELECT `bench_item`.`id`, `bench_item`.`name`, `bench_item`.`qty`, `bench_item`.`price`, "
               "`bench_item`.`flag`, `bench_item`.`note` FROM `bench_item`")


class Sizes:
    """Scenario sizes; --quick shrinks them, flags override single ones."""

    FULL = dict(rows=100_000, lookups=10_000, saves=10_000, batch=100_000, page=500, page_size=20,
                page_calls=200, owners=1_000, posts_per=10, roles_per=3, roles=50,
                authors=500, books_per=20, tags_per=3, tags=50,
                mysql_rows=100_000, mysql_lookups=10_000, mysql_saves=10_000, runs=5, save_runs=3)
    QUICK = dict(rows=1_000, lookups=200, saves=200, batch=1_000, page=5, page_size=20,
                 page_calls=10, owners=20, posts_per=10, roles_per=3, roles=10,
                 authors=20, books_per=5, tags_per=3, tags=10,
                 mysql_rows=1_000, mysql_lookups=100, mysql_saves=100, runs=1, save_runs=1)

    def __init__(self, quick, overrides):
        base = dict(self.QUICK if quick else self.FULL)
        for k, v in overrides.items():
            if v is not None:
                base[k] = v
                if k == "runs":
                    base["save_runs"] = v
        self.__dict__.update(base)
        if self.page_size <= 0 or self.page <= 0:
            raise SystemExit("page and page size must be positive")


# ---------------------------------------------------------------- data set

def make_items(n, seed=42):
    """n rows (name, qty, price, flag, note) in id order, ids 1..n."""
    rnd = random.Random(seed)
    out = []
    for i in range(1, n + 1):
        out.append(("name%06d" % i, rnd.randrange(1000), round(rnd.random() * 1000, 2),
                    i % 3 == 0, None if i % 4 == 0 else "note %d" % i))
    return out


def paging_expectation(items, page, page_size, min_qty):
    """(total, ids of the page) for qty >= min_qty ordered by id."""
    ids = [i for i, row in enumerate(items, 1) if row[1] >= min_qty]
    start = (page - 1) * page_size
    return len(ids), ids[start:start + page_size]


def make_relations(owners, posts_per, roles_per, nroles, seed=7):
    """Relation data: owners with one profile, posts_per posts and roles_per
    roles drawn from nroles.  Returns a dict of row lists in id order."""
    rnd = random.Random(seed)
    users = [("user%05d" % u,) for u in range(1, owners + 1)]
    profiles = [(u, "bio of %d" % u) for u in range(1, owners + 1)]
    posts = [(u, "post %d.%d" % (u, p)) for u in range(1, owners + 1) for p in range(posts_per)]
    roles = [("role%03d" % r,) for r in range(1, nroles + 1)]
    links = [(u, r) for u in range(1, owners + 1) for r in rnd.sample(range(1, nroles + 1), roles_per)]
    return dict(users=users, profiles=profiles, posts=posts, roles=roles, links=links)


def rewrite_keys(n, seed=3):
    """The keys 1..n in a shuffled order: each row is fetched, changed and
    written back once per run."""
    keys = list(range(1, n + 1))
    random.Random(seed).shuffle(keys)
    return keys


def rewritten(row):
    """The two fields a rewrite changes: (qty, note)."""
    return _attr(row, "qty") + 1, "edited %d" % _attr(row, "id")


def reload_items(con, items):
    """Refills bench_item with `items` (ids 1..n) on an open connection."""
    con.execute("DELETE FROM bench_item")
    con.executemany("INSERT INTO bench_item (id, name, qty, price, flag, note) VALUES (?, ?, ?, ?, ?, ?)",
                    [(i, r[0], r[1], r[2], int(r[3]), r[4]) for i, r in enumerate(items, 1)])
    con.commit()


def check_rewritten(con, items):
    """Every row of `items` rewritten once, the other fields unchanged."""
    got = con.execute("SELECT id, name, qty, price, flag, note FROM bench_item ORDER BY id").fetchall()
    want = [(i, r[0], r[1] + 1, r[2], int(r[3]), "edited %d" % i) for i, r in enumerate(items, 1)]
    expect(len(got) == len(want), "expected %d rows, got %d" % (len(want), len(got)))
    expect([tuple(g) for g in got] == want, "rewritten rows differ from the expected ones")


def make_library(authors, books_per, tags_per, ntags, seed=11):
    """Authors with one profile and books_per books, each book tagged with
    tags_per of ntags tags (the junction rows in a random order)."""
    rnd = random.Random(seed)
    out = dict(authors=[("author%05d" % a,) for a in range(1, authors + 1)],
               profiles=[(a, "bio of %d" % a) for a in range(1, authors + 1)],
               books=[(a, "book %d.%d" % (a, b), 1900 + (a * 7 + b) % 120)
                      for a in range(1, authors + 1) for b in range(books_per)],
               tags=[("tag%03d" % t,) for t in range(1, ntags + 1)])
    links = [(b, t) for b in range(1, authors * books_per + 1) for t in rnd.sample(range(1, ntags + 1), tags_per)]
    rnd.shuffle(links)
    out["links"] = links
    return out


def build_sqlite_file(path, items=None, rel=None, lib=None):
    con = sqlite3.connect(path)
    for stmt in SQLITE_DDL:
        con.execute(stmt)
    if items:
        con.executemany(INSERT_ITEM, [(r[0], r[1], r[2], int(r[3]), r[4]) for r in items])
    if rel:
        con.executemany("INSERT INTO rel_user (name) VALUES (?)", rel["users"])
        con.executemany("INSERT INTO rel_profile (user_id, bio) VALUES (?, ?)", rel["profiles"])
        con.executemany("INSERT INTO rel_post (user_id, title) VALUES (?, ?)", rel["posts"])
        con.executemany("INSERT INTO rel_role (name) VALUES (?)", rel["roles"])
        con.executemany("INSERT INTO rel_user_role (rel_user_id, rel_role_id) VALUES (?, ?)", rel["links"])
    if lib:
        con.executemany("INSERT INTO lib_author (name) VALUES (?)", lib["authors"])
        con.executemany("INSERT INTO lib_profile (author_id, bio) VALUES (?, ?)", lib["profiles"])
        con.executemany("INSERT INTO lib_book (author_id, title, year) VALUES (?, ?, ?)", lib["books"])
        con.executemany("INSERT INTO lib_tag (name) VALUES (?)", lib["tags"])
        con.executemany("INSERT INTO lib_book_tag (lib_book_id, lib_tag_id) VALUES (?, ?)", lib["links"])
    con.commit()
    con.close()


def clear_items(path):
    """Empties bench_item in a file through a connection of its own."""
    con = sqlite3.connect(path, timeout=60)
    con.execute("DELETE FROM bench_item")
    con.commit()
    con.close()


# ------------------------------------------------------------------ checks

class CheckFailed(AssertionError):
    pass


def expect(cond, what):
    if not cond:
        raise CheckFailed(what)


def _attr(row, name):
    return row[name] if isinstance(row, dict) else getattr(row, name)


def same_item(row, expected_id, items):
    """Compares one fetched row (dict or object) with the data set."""
    name, qty, price, flag, note = items[expected_id - 1]
    got = (_attr(row, "id"), _attr(row, "name"), _attr(row, "qty"), _attr(row, "price"),
           bool(_attr(row, "flag")), _attr(row, "note"))
    expect(got == (expected_id, name, qty, price, flag, note),
           "row %d: got %r, expected %r" % (expected_id, got, (expected_id, name, qty, price, flag, note)))


def check_all_items(rows, items, strict_bool=False):
    """The whole table: count, a checksum over every row, sampled full rows."""
    rows = list(rows)
    expect(len(rows) == len(items), "expected %d rows, got %d" % (len(items), len(rows)))
    by_id = {}
    qty_sum = 0
    nulls = 0
    for r in rows:
        by_id[_attr(r, "id")] = r
        qty_sum += _attr(r, "qty")
        nulls += _attr(r, "note") is None
    expect(qty_sum == sum(r[1] for r in items), "qty checksum differs")
    expect(nulls == sum(r[4] is None for r in items), "count of NULL notes differs")
    step = max(1, len(items) // 97)
    for i in list(range(1, len(items) + 1, step)) + [len(items)]:
        expect(i in by_id, "row %d missing" % i)
        same_item(by_id[i], i, items)
        if strict_bool:
            expect(type(_attr(by_id[i], "flag")) is bool, "flag of row %d is not a bool" % i)


def check_saved(path_or_con, items):
    """What a save scenario left in the table, read back through sqlite3."""
    con = sqlite3.connect(path_or_con) if isinstance(path_or_con, str) else path_or_con
    try:
        got = con.execute("SELECT name, qty, price, flag, note FROM bench_item ORDER BY id").fetchall()
    finally:
        if isinstance(path_or_con, str):
            con.close()
    expect(len(got) == len(items), "expected %d saved rows, got %d" % (len(items), len(got)))
    want = [(r[0], r[1], r[2], int(r[3]), r[4]) for r in items]
    expect([tuple(g) for g in got] == want, "saved rows differ from the data set")


# --------------------------------------------------------------- protocol

class Runner:
    """One implementation of one scenario.  `run` is timed; `before` (untimed)
    prepares each run; `check` validates what `run` returned; `close` ends."""

    def __init__(self, run, check=None, before=None, close=None, units=None, note=""):
        self.run = run
        self.check = check or (lambda res: None)
        self.before = before or (lambda: None)
        self.close = close or (lambda: None)
        self.units = units
        self.note = note


class Skip(Exception):
    """An implementation that cannot run here (not installed, no server)."""


def machine_info():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal"):
                    mem = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
                    break
    except OSError:
        pass
    return dict(cpu=cpu, cores=os.cpu_count(), memory=mem, python=sys.version.split()[0],
                implementation=platform.python_implementation(), platform=platform.platform(),
                sqlite=sqlite3.sqlite_version)
