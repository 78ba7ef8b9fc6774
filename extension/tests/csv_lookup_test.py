"""The CSV module's lookups in Debian's Python, each query against the same query on a native
copy of the table: the rowid by =, IN and ranges, the key column (key=) by = and IN, alone and in
joins with columns of every affinity, through readonly_csv and through editable_csv with edits,
over files with quotes, CR/LF, a BOM, duplicate and NULL keys and keys that read as numbers or
text. Then one index of a file per process: connections and threads share it, and a file changed
since is indexed anew, never served the old index.
    csv_lookup_test.py EXTENSION"""
import os, random, shutil, sqlite3, sys, tempfile, threading

from test_support import connect as connect_to, fails

extension = sys.argv[1]
work = tempfile.mkdtemp()
os.environ["HOME"] = work
os.chdir(work)
random.seed(int(os.environ.get("SEED", "36")))


def connect():
    return connect_to(extension, check_same_thread=False)


KEYS = ["7", "007", "7.0", '"7"', " 7", "+7", "", '""', "abc", "Abc", '"a,b"', '"x\r\ny"', "-0", "0", "1e3",
        "1000", "0.30000000000000004", "0.3", "9007199254740993", "9007199254740992", "12345678901234567890",
        "1e999", "-1e999", "1e-400", "Inf"]
PROBES = [7, 7.0, 7.5, "7", "007", " 7", "7.0", "abc", "ABC", "", None, b"7", 0, -0.0, "0", 1000, "1e3", 0.3,
          0.30000000000000004, "0.3", 9007199254740993, 9007199254740992.0, "9007199254740993",
          float("inf"), "Inf", 3, "3", 2.5, "2.5", -1, 10**18, "x", 61, 62]


def write(name, header, delimiter):
    rows = [header] if header else []
    rows += [delimiter.join([str(i), random.choice(KEYS), random.choice(['"q ""x"""', "v", '"m\nl"'])])
             for i in range(1, 61)]
    open(name, "wb").write(b"\xef\xbb\xbf" + "\r\n".join(rows).encode())


write("typed.csv", "n,id,v", ",")
write("semi.csv", "", ";")
TABLES = [("typed.csv", "key=id", "id"), ("typed.csv", "types=text, key=ID", "id"),
          ("semi.csv", "delimiter=';', header=no, key=c2", "c2")]
db = connect()
for affinity in ["", "INTEGER", "TEXT", "REAL", "NUMERIC"]:
    db.execute(f"CREATE TABLE p{affinity}(x {affinity})")
    db.executemany(f"INSERT INTO p{affinity} VALUES (?)", [(p,) for p in PROBES])
QUERIES = ["rowid = ?", "rowid IN (?, ?, ?)", "rowid > ?", "rowid >= ?", "rowid < ?", "rowid <= ?",
           "rowid BETWEEN ? AND ?", "rowid > ? AND rowid < ?", "K = ?", "K IN (?, ?, ?, ?)", "K = ? AND rowid > ?",
           "K = ? COLLATE NOCASE", "K IN (SELECT x FROM pTEXT WHERE rowid % 3 = ?)",
           "K IN (SELECT x FROM pINTEGER WHERE rowid % 2 = ?)"]
PLANS = {"rowid = ?": "e", "rowid >= ?": "G", "rowid BETWEEN ? AND ?": "GL", "K = ?": "k", "K IN (?, ?, ?, ?)": "K"}
for number, (path, options, key) in enumerate(TABLES):
    for module in ["readonly_csv", "editable_csv"]:
        t, n = f"{module[:2]}{number}", f"native_{module[:2]}{number}"
        shutil.copy(path, t + ".csv")  # a log of its own over a file of its own
        db.execute(f"CREATE VIRTUAL TABLE {t} USING {module}('{t}.csv', {options})")
        columns = ", ".join(row[1] for row in db.execute(f"PRAGMA table_info({t})"))
        db.execute(f"CREATE TABLE {n}({columns})")
        db.execute(f"INSERT INTO {n}(rowid, {columns}) SELECT rowid, * FROM {t}")
        if module == "editable_csv":
            for _ in range(30):
                value, rowid = random.choice(PROBES), random.randint(1, 70)
                edit, arguments = random.choice([(f"UPDATE %s SET {key} = ? WHERE rowid = ?", (value, rowid)),
                                                 ("DELETE FROM %s WHERE rowid = ?", (rowid,)),
                                                 (f"INSERT OR IGNORE INTO %s (rowid, {key}) VALUES (?, ?)",
                                                  (rowid + 100, value))])
                for table in (t, n):
                    db.execute(edit % table, arguments)
        for query, letters in PLANS.items():
            plan = " ".join(row[3] for row in db.execute(f"EXPLAIN QUERY PLAN SELECT * FROM {t} WHERE "
                                                         + query.replace("K", key), [5] * query.count("?")))
            assert plan.endswith(letters), (t, query, plan)
        plan = " ".join(r[3] for r in db.execute(f"EXPLAIN QUERY PLAN SELECT * FROM p JOIN {t} ON {key} = x"))
        assert plan.endswith("k"), (t, plan)
        for _ in range(400):
            query = random.choice(QUERIES).replace("K", key)
            arguments = [random.choice(PROBES) for _ in range(query.count("?"))]
            got = db.execute(f"SELECT rowid FROM {t} WHERE {query}", arguments).fetchall()
            want = db.execute(f"SELECT rowid FROM {n} WHERE {query} ORDER BY rowid", arguments).fetchall()
            assert got == want, (t, query, arguments, got, want)
        for affinity in ["", "INTEGER", "TEXT", "REAL", "NUMERIC"]:
            for on in [f"t.{key} = p.x", f"p.x = t.{key}"]:
                join = f"SELECT p.rowid, t.rowid FROM p{affinity} p JOIN %s t ON {on} ORDER BY 1, 2"
                got = db.execute(join % t).fetchall()
                assert got == db.execute(join % n).fetchall(), (t, affinity, on, got)

fails(db, "CREATE VIRTUAL TABLE bad USING readonly_csv('typed.csv', key=nothing)",
      'CSV file "typed.csv" has no column "nothing" to index (option key)')
fails(db, "CREATE VIRTUAL TABLE bad USING readonly_csv('semi.csv', delimiter=';', header=no, key=c4)", '"c4"')
fails(db, "CREATE VIRTUAL TABLE bad USING readonly_csv('typed.csv', key=id, key=n)", "option key is given twice")
fails(db, "CREATE VIRTUAL TABLE bad USING readonly_csv('typed.csv', key='')", "key=a column's name")
open("ragged.csv", "wb").write(b"id,v\r\n1,a\r\n2\r\n")
fails(db, "CREATE VIRTUAL TABLE bad USING readonly_csv('ragged.csv', key=id)", "line 3: the record has 1 field")

# Saved over its own file, a table indexes the saved file.
open("own.csv", "wb").write(b"id,v\r\n1,a\r\n2,b\r\n")
db.execute("CREATE VIRTUAL TABLE own USING editable_csv('own.csv', key=id)")
db.execute("UPDATE own SET id = 5 WHERE id = 1")
db.execute("SELECT csv_save('own')")
assert db.execute("SELECT rowid, v FROM own WHERE id IN (1, 5)").fetchall() == [(1, "a")]


def held(name):
    """How many descriptors of this process have the file open."""
    path = os.path.realpath(name)
    return sum(os.path.realpath(f"/proc/self/fd/{fd}") == path for fd in os.listdir("/proc/self/fd"))


# Connections that open the same file the same way share its index; other options index it again.
write("shared.csv", "n,id,v", ",")
first, second = connect(), connect()
for db in (first, second):
    db.execute("CREATE VIRTUAL TABLE s USING editable_csv('shared.csv', key=id)")
    db.execute("CREATE VIRTUAL TABLE r USING readonly_csv('./shared.csv', key='ID')")
assert held("shared.csv") == 1
second.execute("CREATE VIRTUAL TABLE other USING readonly_csv('shared.csv', types=text)")
assert held("shared.csv") == 2
probe = "SELECT rowid, v FROM %s WHERE id = '007' OR rowid = 3 ORDER BY rowid"
before = first.execute(probe % "s").fetchall()
assert second.execute(probe % "s").fetchall() == before

# Threads that open, look up and close tables over the file at once, indexed as no other table is.
def churn(k):
    db = connect()
    for i in range(30):
        db.execute(f"CREATE VIRTUAL TABLE c{i} USING readonly_csv('shared.csv', key=n)")
        assert db.execute(probe % f"c{i}").fetchall() == before
        if i % 4 != k:
            db.execute(f"DROP TABLE c{i}")
    for i in range(k, 30, 4):
        db.execute(f"DROP TABLE c{i}")
    db.close()


threads = [threading.Thread(target=churn, args=(k,)) for k in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert held("shared.csv") == 2

first.close()
second.close()
assert held("shared.csv") == 0

# Changed since (same size, another modification time): the table that reads it fails, even
# where the index finds no row; a new CREATE indexes it again.
open("changing.csv", "wb").write(b"id,v\r\n1,a\r\n2,b\r\n")
first, second = connect(), connect()
first.execute("CREATE VIRTUAL TABLE c USING readonly_csv('changing.csv', key=id)")
assert first.execute("SELECT rowid FROM c WHERE id = 1").fetchall() == [(1,)]
stamp = os.stat("changing.csv").st_mtime_ns
open("changing.csv", "r+b").write(b"id,v\r\n2,a\r\n1,b\r\n")
os.utime("changing.csv", ns=(stamp, stamp + 1))
for query in ["SELECT * FROM c WHERE id = 1", "SELECT * FROM c WHERE id = 3", "SELECT * FROM c WHERE rowid = 9"]:
    fails(first, query, 'CSV file "changing.csv" changed after the table was created')
second.execute("CREATE VIRTUAL TABLE c USING readonly_csv('changing.csv', key=id)")
assert second.execute("SELECT rowid FROM c WHERE id = 1").fetchall() == [(2,)]
assert held("changing.csv") == 2
print("csv_lookup: ok")
