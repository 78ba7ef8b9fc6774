"""ombrix_save of editable_VirtualDbf tables in Debian's Python, with .dbf
files made by shapelib: an unedited table comes back byte for byte; random
edits, undos and redos read back through VirtualDbf as the table's rows with
untouched records byte for byte; values a field cannot hold are refused with
file and history kept.
    dbf_save_test.py EXTENSION"""
import os, random, sqlite3, sys, tempfile

from test_support import connect as connect_to, fails, shapelib

extension = sys.argv[1]
work = tempfile.mkdtemp()
os.environ["HOME"] = work
os.chdir(work)
shp = shapelib()


def make(path, code_page, fields, records, deleted=()):
    dbf = shp.DBFCreateEx(path.encode(), code_page.encode())
    for name, kind, width, decimals in fields:
        shp.DBFAddNativeFieldType(dbf, name.encode(), kind.encode(), width, decimals)
    for row, record in enumerate(records):
        for column, value in enumerate(record):
            shp.DBFWriteAttributeDirectly(dbf, row, column, value)
    for row in deleted:
        shp.DBFMarkRecordDeleted(dbf, row, 1)
    shp.DBFClose(dbf)
    return open(path, "rb").read()


def connect():
    return connect_to(extension, spatialite=True)


def records(data):
    count, length, size = int.from_bytes(data[4:8], "little"), int.from_bytes(data[8:10], "little"), \
        int.from_bytes(data[10:12], "little")
    return [data[length + i * size:length + (i + 1) * size] for i in range(count)]


fields = [("ID", "N", 6, 0), ("NAME", "C", 8, 0), ("V", "N", 9, 3), ("OK", "L", 1, 0), ("DAY", "D", 8, 0)]
rows = [[b"%6d" % i, b"caf\xe9 %d" % i, b"%9.3f" % (i / 8), b"TF"[i % 2:i % 2 + 1], b"202001%02d" % (i % 28 + 1)]
        for i in range(1, 41)]
data = make("t.dbf", "1252", fields, rows, deleted=(3,))
args = "'CP1252'"
db = connect()
db.execute(f"CREATE VIRTUAL TABLE t USING editable_VirtualDbf('t.dbf', {args})")
assert db.execute("SELECT ombrix_save('t', 'copy.dbf')").fetchone() == (39,)
assert open("copy.dbf", "rb").read() == data and open("copy.cpg", "rb").read() == open("t.cpg", "rb").read()
assert db.execute("SELECT ombrix_save('t')").fetchone() == (39,) and open("t.dbf", "rb").read() == data


def read_back(path, charset=args):
    reader = connect()
    reader.execute(f"CREATE VIRTUAL TABLE b USING VirtualDbf('{path}', {charset})")
    shown = reader.execute("SELECT id, name, v, ok, day FROM b").fetchall()
    reader.close()
    return shown


random.seed(7)
pool = [("name", "x"), ("name", "\u00e9t\u00e9"), ("name", "eight ch"), ("v", 2.5), ("v", -1234.125),
        ("id", 99999), ("ok", 0), ("day", 2451544.5), ("day", None)]
for _ in range(120):
    rowids = [r for (r,) in db.execute("SELECT rowid FROM t")]
    kind = random.random()
    if kind < 0.45:
        column, value = random.choice(pool)
        db.execute(f"UPDATE t SET {column} = ? WHERE rowid = ?", (value, random.choice(rowids)))
    elif kind < 0.6:
        db.execute("DELETE FROM t WHERE rowid = ?", (random.choice(rowids),))
    elif kind < 0.75:
        db.execute("INSERT INTO t (id, name, v, ok, day) VALUES (7, 'new', 0.125, 1, 2458849.5)")
    else:
        db.execute(f"SELECT ombrix_{random.choice(['undo', 'redo'])}('t')")
shown = db.execute("SELECT id, name, v, ok, day FROM t").fetchall()
untouched = [(rowid, position) for position, (rowid,) in enumerate(db.execute("SELECT rowid FROM t"))
             if rowid <= 40 and not db.execute("SELECT 1 FROM ombrix_changes('t') WHERE original_rowid = ?",
                                               (rowid,)).fetchone()]
assert untouched and len(untouched) < len(shown)
steps = db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone()
os.makedirs("out")
assert db.execute("SELECT ombrix_save('t', 'out/edited.dbf')").fetchone() == (len(shown),)
saved = open("out/edited.dbf", "rb").read()
assert read_back("out/edited.dbf") == shown and saved[:1] == data[:1] and saved[8:32] == data[8:32]
assert all(records(saved)[position] == records(data)[rowid - 1] for rowid, position in untouched)
assert os.path.exists("out/edited.cpg") and open("t.dbf", "rb").read() == data
assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == steps

# Values a field cannot hold: refused naming row and column, the file and history as they were.
r = db.execute("SELECT min(rowid) FROM t").fetchone()[0]
for sql, error in ((f"UPDATE t SET name = 'nine char' WHERE rowid = {r}", f"row {r}, column name, holds 9 bytes of text"),
                   (f"UPDATE t SET name = '\u4e2d' WHERE rowid = {r}", f"row {r}, column name, holds '\u4e2d', which "
                                                                          "CP1252 cannot encode"),
                   (f"UPDATE t SET v = 1.0625 WHERE rowid = {r}", f"row {r}, column v, holds 1.0625, more decimals"),
                   (f"UPDATE t SET id = 1234567 WHERE rowid = {r}", f"row {r}, column id, holds 1234567, more digits"),
                   (f"UPDATE t SET name = NULL WHERE rowid = {r}", f"row {r}, column name, holds NULL, which "
                                                                    "VirtualDbf would read back as ''"),
                   (f"UPDATE t SET name = 'pad ' WHERE rowid = {r}", f"row {r}, column name, holds 'pad ', which "
                                                                      "VirtualDbf would read back as 'pad'")):
    db.execute("SELECT ombrix_commit('t')")
    db.execute(sql)
    steps = db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone()
    fails(db, "SELECT ombrix_save('t')", error)
    fails(db, "SELECT ombrix_save('t', 'refused.dbf')", error)
    assert open("t.dbf", "rb").read() == data and not os.path.exists("refused.dbf")
    assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == steps
    db.execute("SELECT ombrix_undo('t')")

# The refusals every save shares, then a save over the table's own file: the history ends and the table
# reads the saved file.
db.execute("BEGIN")
fails(db, "SELECT ombrix_save('t')", "cannot save t over its own file inside a transaction")
db.execute("ROLLBACK")
fails(db, "SELECT ombrix_save('t') FROM t", "cannot save t while a statement reads it")
make("u.dbf", "UTF-8", fields, [[b"1", b"a", b"0.125", b"T", b"20200101"],
                                [b"2", b"b", b"0.250", b"F", b"20200102"]])
db.execute("CREATE VIRTUAL TABLE u USING editable_VirtualDbf('u.dbf', 'UTF-8')")
db.execute("DELETE FROM u WHERE rowid = 1")
fails(db, "SELECT ombrix_save('t', 'u.dbf')", "the change log of table u lies over it")
assert open("t.dbf", "rb").read() == data
assert db.execute("SELECT ombrix_save('t')").fetchone() == (len(shown),)
assert db.execute("SELECT id, name, v, ok, day FROM t").fetchall() == read_back("t.dbf") == shown
assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == (0,)
assert db.execute("SELECT rowid FROM t").fetchall() == [(r,) for r in range(1, len(shown) + 1)]
db.execute("UPDATE u SET name = '\u00e9t\u00e9' WHERE rowid = 2")
assert db.execute("SELECT ombrix_save('u')").fetchone() == (1,)
assert read_back("u.dbf", "'UTF-8'") == db.execute("SELECT id, name, v, ok, day FROM u").fetchall() == \
    [(2, "\u00e9t\u00e9", 0.25, 0, 2458850.5)]
db.close()
