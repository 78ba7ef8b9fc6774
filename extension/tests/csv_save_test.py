"""csv_save in Debian's Python: unedited files come back byte for byte, random
edits, moves and replacements come out as a model of the save writes them, a
save over the table's own file ends its history, a save killed at any moment
leaves the old file or the new one, and what cannot be saved is refused with
nothing written.
    csv_save_test.py EXTENSION"""
import os, random, re, signal, sqlite3, subprocess, sys, tempfile, time

from test_support import connect as connect_to, fails

extension = sys.argv[1]
work = tempfile.mkdtemp()
os.environ["HOME"] = work
os.chdir(work)


def connect():
    return connect_to(extension)


files = {
    "quotes.csv": b'a,b\n"x ""q""",",,"\n"",plain\n"multi\nline",1\n',
    "numbers.csv": b"n,m\r\n569.20,1e5\r\n007,+1\r\n12345678901234567890,-0.0\r\n",
    "bom_cr.csv": b"\xef\xbb\xbfid,v\r1,a\r\r2,b",
    "no_break.csv": b"id,v\n1, spaced \n2,last",
}
db = connect()
for index, (name, data) in enumerate(files.items()):
    open(name, "wb").write(data)
    db.execute(f"CREATE VIRTUAL TABLE u{index} USING editable_csv('{name}')")
    db.execute(f"SELECT csv_save('u{index}', 'copy_{name}')")
    assert open("copy_" + name, "rb").read() == data, name

# Random edits, moves and replacements on typed files of odd shapes, and the
# save as a model of it writes them: the file's rows in order, unchanged ones
# byte for byte, changed ones with each unchanged cell's text and the row's
# line ending, then inserted rows in rowid order. A column may be called rowid.
def cell(raw):
    if raw.startswith('"'):
        return raw[1:-1].replace('""', '"')
    if re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?", raw):
        return int(raw) if raw.lstrip("-").isdigit() and -2**63 <= int(raw) < 2**63 else float(raw)
    return raw or None


def field(value, raw):
    if raw is not None and type(cell(raw)) is type(value) and cell(raw) == value:
        return raw
    if isinstance(value, str) and (not value or any(c in value for c in ',"\r\n')):
        return '"' + value.replace('"', '""') + '"'
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


random.seed(int(os.environ.get("SEED", "7")))
values = ["1.50", "007", "x y", '"q ""z"""', "", "1e3", "12", '"a,b"', '"l\nb"', "-0.0", "99999999999999999999"]
for table, header, n in [("t0", "id,v,w", 40), ("t1", "rowid,v,w", 300), ("t", "id,v,w", 300)]:
    brk = random.choice(["\n", "\r\n", "\r"])
    records = [[[str(i), random.choice(values), random.choice(values)], random.choice([brk, brk, brk + brk])]
               for i in range(1, n + 1)]
    records[-1][1] = random.choice(["", brk])
    open(table + ".csv", "w", newline="").write(header + brk + "".join(",".join(f) + e for f, e in records))
    db.execute(f"CREATE VIRTUAL TABLE {table} USING editable_csv('{table}.csv')")
    for _ in range(200):
        rowid, kind = random.randint(1, n + 20), random.random()
        try:
            if kind < 0.45:
                db.execute(f"UPDATE {table} SET w = ? WHERE _rowid_ = ?",
                           (random.choice([None, 2.5, 3, "a,b", "", "é\n", "12", 1e20, -0.0]), rowid))
            elif kind < 0.65:
                db.execute(f"DELETE FROM {table} WHERE _rowid_ = ?", (rowid,))
            elif kind < 0.8:
                db.execute(f"INSERT INTO {table} ({header[:-4]}, w) VALUES (?, ?)", (1000 + rowid, random.random()))
            elif kind < 0.9:
                db.execute(f"UPDATE {table} SET _rowid_ = ? WHERE _rowid_ = ?", (random.randint(n + 1, n + 99), rowid))
            else:
                db.execute(f"INSERT OR REPLACE INTO {table} (_rowid_, {header[:-4]}) VALUES (?, 'r')", (rowid,))
        except sqlite3.IntegrityError:
            pass
        if random.random() < 0.1:
            db.execute(f"SELECT ombrix_undo('{table}')")
    shown = {row[0]: row[1:] for row in db.execute(f"SELECT _rowid_, * FROM {table}")}
    changes = db.execute(f"SELECT rowid, original_rowid FROM ombrix_changes('{table}') WHERE original_rowid NOTNULL")
    placed = {old: new for new, old in changes}
    expected = [header + brk]
    for rowid, (fields, ending) in enumerate(records, 1):
        if rowid not in placed:
            expected.append(",".join(fields) + ending)
        elif placed[rowid] is not None:
            expected.append(",".join(map(field, shown[placed[rowid]], fields)) + ending)
    for rowid in sorted(set(shown) - set(placed.values()) - set(range(1, n + 1))):
        expected.append(("" if expected[-1].endswith(("\n", "\r")) else brk) +
                        ",".join(field(value, None) for value in shown[rowid]) + brk)
    assert db.execute(f"SELECT csv_save('{table}', 'saved.csv')").fetchone()[0] == len(shown)
    assert open("saved.csv", newline="").read() == "".join(expected), table

# Saved over its own file, a table shows the same rows, read from the file,
# and its history is gone, kept mark included, here and in the next process.
open("own.csv", "wb").write(b"id,v\r\n1,a\r\n2,\"b,\"\r\n3,c\r\n4,d\r\n")
db.execute("CREATE VIRTUAL TABLE s USING editable_csv('own.csv')")
db.execute("UPDATE s SET v = 'B' WHERE id = 2")
db.execute("SELECT ombrix_commit('s', 'named')")
db.execute("DELETE FROM s WHERE id = 3")
db.execute("INSERT INTO s VALUES (5, 'e')")
db.execute("SELECT ombrix_keep('s')")
rows = db.execute("SELECT * FROM s").fetchall()
fails(db, "SELECT ombrix_save('s') FROM s", "ombrix_save: cannot save s", "while a statement reads it")
db.execute("BEGIN")
fails(db, "SELECT csv_save('s')", "inside a transaction")
db.execute("ROLLBACK")
other = connect()
other.execute("CREATE VIRTUAL TABLE s USING editable_csv('own.csv')")
fails(db, "SELECT csv_save('s')", "another table of that name is open")
other.close()
assert open("own.csv", "rb").read() == b"id,v\r\n1,a\r\n2,\"b,\"\r\n3,c\r\n4,d\r\n"
# ombrix_save saves a table of editable_csv as csv_save does.
assert db.execute("SELECT ombrix_save('s', './own.csv')").fetchone()[0] == 4
saved = open("own.csv", "rb").read()
assert saved == b"id,v\r\n1,a\r\n2,B\r\n4,d\r\n5,e\r\n", saved
assert db.execute("SELECT rowid, * FROM s").fetchall() == [(i + 1,) + row for i, row in enumerate(rows)]
assert db.execute("SELECT count(*) FROM ombrix_steps('s')").fetchone()[0] == 0
assert db.execute("SELECT modified, kept FROM ombrix_tables WHERE name = 's'").fetchall() == [(0, 0)]
db.execute("SELECT ombrix_undo('s')")
assert db.execute("SELECT * FROM s").fetchall() == rows
assert db.execute("SELECT csv_save('s')").fetchone()[0] == 4 and open("own.csv", "rb").read() == saved
def later(*queries):
    """What a new process shows for each query once it made s over own.csv."""
    return subprocess.run([sys.executable, "-c", f"""import sqlite3
db = sqlite3.connect(':memory:', isolation_level=None)
db.enable_load_extension(True); db.load_extension({extension!r})
db.execute("CREATE VIRTUAL TABLE s USING editable_csv('own.csv')")
for query in {queries!r}: print(db.execute(query).fetchall())"""], capture_output=True, text=True,
                          check=True).stdout
assert later("SELECT count(*) FROM ombrix_tables WHERE kept", "SELECT * FROM s") == f"[(0,)]\n{rows}\n"
# A new log over the saved file: new rows number on from its last row, and,
# kept, it is taken up over the saved file (checked at the end).
db.execute("INSERT INTO s VALUES (6, 'f')")
assert db.execute("SELECT max(rowid) FROM s").fetchone()[0] == 5
db.execute("SELECT ombrix_keep('s')")

# What cannot be saved: nothing written, the error says why.
fails(db, "SELECT csv_save('t', '.')", "it is a folder")
fails(db, "SELECT csv_save('t', '/proc/saved.csv')", "cannot write")
db.execute("CREATE TABLE native(x)")
fails(db, "SELECT csv_save('native', 'n.csv')", "is not a table of editable_csv")
db.execute("UPDATE t SET w = x'00ff' WHERE rowid = (SELECT min(rowid) FROM t)")
fails(db, "SELECT csv_save('t', 'saved.csv')", "holds a blob")
assert not os.path.exists("n.csv") and not [f for f in os.listdir() if f.startswith(".")]

# One name in two schemas: a name is found as SQLite finds it, temp first, or
# as schema.table; rows and file come from that one table. Reals are written
# as Python's repr writes them; a new file follows the
# umask, a replaced one keeps its mode and owner.
abc = b"id,v\n1,a\n2,b\n3,c\n"
for name, data in {"a.csv": abc, "b.csv": b"id,v\n1,x\n2,y\n", "c.csv": abc, "r.csv": abc, "w.csv": abc}.items():
    open(name, "wb").write(data)
db.execute("CREATE VIRTUAL TABLE temp.q USING editable_csv('b.csv')")
db.execute("CREATE VIRTUAL TABLE main.q USING editable_csv('a.csv')")
db.execute("UPDATE main.q SET v = 'A' WHERE rowid = 1")
db.execute("UPDATE main.q SET v = ? WHERE rowid = 2", (2.0**70,))
db.execute("INSERT INTO main.q VALUES (1.5e-7, 100.0)")
os.umask(0o077)
assert db.execute("SELECT csv_save('q', 'q.csv')").fetchone()[0] == 2 and open("q.csv", "rb").read() == b"id,v\n1,x\n2,y\n"
assert os.stat("q.csv").st_mode & 0o777 == 0o600
os.chmod("q.csv", 0o640)
if os.geteuid() == 0:
    os.chown("q.csv", 65534, 65534)
assert db.execute("SELECT csv_save('main.q', 'q.csv')").fetchone()[0] == 4
assert open("q.csv", "rb").read() == b"id,v\n1,A\n2,1.1805916207174113e+21\n3,c\n1.5e-07,100.0\n"
status = os.stat("q.csv")
assert status.st_mode & 0o777 == 0o640 and (os.geteuid() != 0 or status.st_uid == status.st_gid == 65534), status
os.umask(0o022)

# Paths a save must not write, refused with nothing written: a NUL byte, the
# table's path once another file replaced it, another name of its file, the
# history database's files, a database, a file that another log lies over,
# kept here or live in another process.
os.link("a.csv", "hard.csv")
db.execute("CREATE VIRTUAL TABLE r USING editable_csv('r.csv')")
os.replace("b.csv", "r.csv")
db.execute("ATTACH 'x.db' AS x")
db.execute("CREATE TABLE x.z(a)")
keeper = connect()
keeper.execute("CREATE VIRTUAL TABLE k USING editable_csv('c.csv')")
keeper.execute("UPDATE k SET v = 'K' WHERE rowid = 1")
keeper.execute("SELECT ombrix_keep('k')")
keeper.close()
db.execute("CREATE VIRTUAL TABLE u USING editable_csv('c.csv')")
open("live.csv", "wb").write(abc)
holder = subprocess.Popen([sys.executable, "-c", f"""import sqlite3, sys
db = sqlite3.connect(':memory:', isolation_level=None)
db.enable_load_extension(True); db.load_extension({extension!r})
db.execute("CREATE VIRTUAL TABLE h USING editable_csv('live.csv')")
db.execute("UPDATE h SET v = 'H' WHERE rowid = 1")
print('ready', flush=True); sys.stdin.read()"""], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
holder.stdout.readline()
home = os.environ["HOME"] + "/transactions.sqlite"
for sql, text in [("SELECT csv_save('main.q', 'victim' || char(0) || '.csv')", "NUL byte"),
                  ("SELECT csv_save('r', 'r.csv')", "no longer the file r opened"),
                  ("SELECT csv_save('main.q', 'hard.csv')", "by another name"),
                  (f"SELECT csv_save('main.q', '{home}')", "a file of the history database"),
                  (f"SELECT csv_save('main.q', '{home}-wal')", "a file of the history database"),
                  (f"SELECT csv_save('main.q', '{home}-owners')", "the lock file of the history database"),
                  ("SELECT csv_save('main.q', 'x.db-journal')", "a file of database x"),
                  ("SELECT csv_save('u')", "the kept change log of table k lies over it"),
                  ("SELECT csv_save('main.q', 'c.csv')", "the kept change log of table k lies over it"),
                  ("SELECT csv_save('main.q', 'live.csv')", "the change log of table h lies over it"),
                  ("SELECT quillmere_load('x.so' || char(0) || 'y')", "NUL byte"),
                  ("SELECT ombrix_accept_files('k', 'c.csv' || char(0) || 'y')", "NUL byte")]:
    fails(db, sql, text)
holder.communicate(b"")
assert [open(f, "rb").read() for f in ("a.csv", "c.csv", "live.csv")] == [abc] * 3
# A table whose file was replaced since it opened it is not edited. main.p2's
# file changes under its log: the log ends, and temp.p2 keeps the stamps of its
# own file, over which its first write begins a log.
fails(db, "UPDATE r SET v = 'Z' WHERE rowid = 1", "r.csv changed size from 17 to 13 bytes since the table opened",
      "cannot be edited")
for name in ("s1.csv", "s2.csv"):
    open(name, "wb").write(abc)
db.execute("CREATE VIRTUAL TABLE main.p2 USING editable_csv('s1.csv')")
db.execute("CREATE VIRTUAL TABLE temp.p2 USING editable_csv('s2.csv')")
db.execute("UPDATE main.p2 SET v = 'A' WHERE rowid = 1")
open("s1.csv", "ab").write(b"4,d\n")
fails(db, "SELECT count(*) FROM main.p2", "changed size")
db.execute("UPDATE temp.p2 SET v = 'Z' WHERE rowid = 1")
assert db.execute("SELECT v FROM temp.p2 WHERE rowid = 1").fetchone()[0] == "Z"
open("s2.csv", "ab").write(b"4,d\n")
fails(db, "SELECT count(*) FROM temp.p2", "s2.csv changed size")
assert open("r.csv", "rb").read() == b"id,v\n1,x\n2,y\n" and not os.path.exists("victim")

# Rows a file cannot hold as they are: NULL alone on a line, NULL read as
# text. A file that grew under a kept log whose files were accepted: the row
# inserted at a rowid of the file hides the file's row, in the save too.
open("one.csv", "wb").write(b"v\na\n")
db.execute("CREATE VIRTUAL TABLE one USING editable_csv('one.csv')")
db.execute("INSERT INTO one VALUES (NULL)")
db.execute("CREATE VIRTUAL TABLE words USING editable_csv('w.csv', types=text)")
db.execute("UPDATE words SET v = NULL WHERE rowid = 3")
fails(db, "SELECT csv_save('one', 'o.csv')", "row 2, column v, holds NULL, which a file of one column cannot hold")
fails(db, "SELECT csv_save('words', 'o.csv')", "row 3, column v, holds NULL, which a file read as text cannot hold")
# A file that shrank: the row of the log over a row it lost follows the file's.
open("shrinks.csv", "wb").write(abc)
for name, path, edit, now, saved in [("g", "live.csv", "INSERT INTO g VALUES (9, 'n')", abc + b"4,d\n", abc + b"9,n\n"),
                                     ("h", "shrinks.csv", "UPDATE h SET v = 'C' WHERE rowid = 3", abc[:-4],
                                      abc[:-4] + b"3,C\n")]:
    kept = connect()
    kept.execute(f"CREATE VIRTUAL TABLE {name} USING editable_csv('{path}')")
    kept.execute(edit)
    kept.execute(f"SELECT ombrix_keep('{name}')")
    kept.close()
    open(path, "wb").write(now)
    db.execute(f"SELECT ombrix_accept_files('{name}')")
    db.execute(f"CREATE VIRTUAL TABLE {name} USING editable_csv('{path}')")
    assert db.execute(f"SELECT csv_save('{name}', 'g.csv')").fetchone()[0] == saved.count(b"\n") - 1
    assert open("g.csv", "rb").read() == saved, name
assert not [f for f in os.listdir() if f.startswith(".")]

# A save killed at random moments: the target is whole, old or new.
with open("big.csv", "w") as out:
    out.write("id,v\n" + "".join(f"{i},{'x' * 200}\n" for i in range(100000)))
old = b"id,v\nold\n"
saver = f"""import sqlite3
db = sqlite3.connect(':memory:', isolation_level=None)
db.enable_load_extension(True); db.load_extension({extension!r})
db.execute("CREATE VIRTUAL TABLE b USING editable_csv('big.csv')")
db.execute("UPDATE b SET v = 'edited' WHERE rowid = 5000")
print('ready', flush=True); db.execute("SELECT csv_save('b', 'target.csv')")"""
new = None
for attempt in range(12):
    open("target.csv", "wb").write(old)
    child = subprocess.Popen([sys.executable, "-c", saver], stdout=subprocess.PIPE)
    child.stdout.readline()
    time.sleep(random.random() * 0.3)
    child.send_signal(signal.SIGKILL)
    child.wait()
    now = open("target.csv", "rb").read()
    if now != old:
        new = new or now
        assert now == new and now.count(b"\n") == 100001 and b"\n4999,edited\n" in now, attempt

db.close()
assert later("SELECT * FROM s WHERE rowid = 5") == "[(6, 'f')]\n"
print("ok")
