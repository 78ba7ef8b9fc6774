# Runs modules.sql in Debian's Python, printing rows as the sqlite3 shell does,
# then checks what the shell cannot: refusals, errors and two connections.
import os
import random
import sqlite3
import sys

EXTENSION, SCRIPT = sys.argv[1:3]
LIB = "/usr/lib/x86_64-linux-gnu/"
CSVTABLE = f"SELECT quillmere_load('{LIB}libsqlite3_mod_csvtable.so')"


def connect():
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.enable_load_extension(True)
    db.load_extension(EXTENSION)
    return db


def run_script(db, path):
    statement = ""
    for line in open(path):
        statement += line
        if sqlite3.complete_statement(statement):
            for row in db.execute(statement):
                print("|".join("" if value is None else str(value) for value in row))
            statement = ""


def check_error(db, sql, expected):
    try:
        db.execute(sql).fetchall()
    except sqlite3.Error as error:
        assert str(error) == expected, f"{sql}: {error}"
        return
    raise AssertionError(f"{sql}: no error")


db = connect()
run_script(db, SCRIPT)
db.close()

first, second = connect(), connect()
for db, name in ((first, "one"), (second, "two")):
    assert db.execute(CSVTABLE).fetchone() == ("editable_csvtable",)
    db.execute(f"CREATE VIRTUAL TABLE {name} USING editable_csvtable('{name}.csv', 1, 0, ',')")
    db.execute(f"UPDATE {name} SET name = '{name}' WHERE id = '1'")
check_error(first, CSVTABLE, f"quillmere_load: {LIB}libsqlite3_mod_csvtable.so is already loaded on this connection")
check_error(first, "SELECT quillmere_load('./copy_of_csvtable.so')",
            "quillmere_load: ./copy_of_csvtable.so registers module csvtable, "
            "which an extension loaded earlier on this connection registered")
check_error(first, "SELECT quillmere_load('./probe.so', 'failing_init')",
            "quillmere_load: ./probe.so: initialization failed: no start")
check_error(first, "SELECT quillmere_load('missing')",
            "quillmere_load: missing: cannot open shared object file: No such file or directory")
check_error(first, f"SELECT quillmere_load('{LIB}libsqlite3_mod_zipfile.so', 'no_init')",
            f"quillmere_load: no entry point no_init in {LIB}libsqlite3_mod_zipfile.so")
first.execute("CREATE VIEW loads AS SELECT quillmere_load('missing')")
check_error(first, "SELECT * FROM loads", "unsafe use of quillmere_load()")
assert first.execute("SELECT group_concat(name) FROM one").fetchone() == ("one,beta,gamma",)
first.close()
assert second.execute("SELECT group_concat(name) FROM two").fetchone() == ("two,beta,gamma",)
second.close()

# Save through spatialite's writable modules, which write their tables with SQL: a write refused midway
# (a trigger; VirtualGPKG keeping no inserted row) takes every row back and keeps the log; then the
# native table holds what the overlay showed, and the history ends.
db = connect()
db.execute(f"SELECT quillmere_load('{LIB}mod_spatialite.so')").fetchall()
db.executescript("""SELECT InitFDOSpatialMetadata(), gpkgCreateBaseTables();
CREATE TABLE roads(id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE points(fid INTEGER PRIMARY KEY, name TEXT);
SELECT AddFDOGeometryColumn('roads', 'geom', 4326, 1, 2, 'WKT'), gpkgAddGeometryColumn('points', 'geom', 'POINT', 0, 0, 4326);
INSERT INTO roads VALUES (1, 'a', 'POINT(1 2)'), (2, 'b', 'POINT(3 4)'), (3, 'c', 'POINT(5 6)');
INSERT INTO points VALUES (1, 'a', gpkgMakePoint(1, 2, 4326)), (2, 'b', gpkgMakePoint(3, 4, 4326));
CREATE VIRTUAL TABLE fdo USING editable_VirtualFDO(roads);
CREATE VIRTUAL TABLE gpkg USING editable_VirtualGPKG(points);
UPDATE fdo SET name = 'B', geom = MakePoint(9, 9, 4326) WHERE id = 2; DELETE FROM fdo WHERE id = 1;
INSERT INTO fdo VALUES (7, 'n', MakePoint(7, 8, 4326));
UPDATE gpkg SET name = 'B' WHERE fid = 2; INSERT INTO gpkg VALUES (5, 'n', gpkgMakePoint(7, 8, 4326));
CREATE TRIGGER no_n BEFORE INSERT ON roads WHEN new.name = 'n' BEGIN SELECT RAISE(ABORT, 'no n'); END;""")
native = {t: f"SELECT *, (SELECT count(*) FROM ombrix_steps('{v}')) FROM {t}" for t, v in (("roads", "fdo"), ("points", "gpkg"))}
before = {t: db.execute(sql).fetchall() for t, sql in native.items()}
for table, error in (("fdo", "ombrix_save: the module refused to insert row 4: constraint failed"),
                     ("gpkg", "ombrix_save: the module took the insert of row 3 but keeps no such row: "
                              "it cannot be saved through its own writes")):
    check_error(db, f"SELECT ombrix_save('{table}')", error)
    assert {t: db.execute(sql).fetchall() for t, sql in native.items()} == before
db.execute("DROP TRIGGER no_n")
shown = "SELECT id, name, AsText(geom) FROM fdo"
rows = db.execute(shown).fetchall()
assert db.execute("SELECT ombrix_save('fdo')").fetchone() == (3,)
assert db.execute(shown).fetchall() == rows == [(2, "B", "POINT(9 9)"), (3, "c", "POINT(5 6)"), (7, "n", "POINT(7 8)")]
assert db.execute(native["roads"]).fetchall() == [row + (0,) for row in rows]
db.close()

# Save through csvtable, per format (header, separators, quotes, escapes, types, guessed): unedited, the file
# comes back byte for byte; after random edits, undos and redos a Save-as reads back through csvtable as the
# table's rows and keeps its history; saved over its own file, the table reads that file and its history ends.
db = connect()
db.execute(CSVTABLE).fetchall()
cases = [(b'id,name,v\n1,"a ""q"" b",1\n2,"x,y",\n\n3,plain,"1,5"\r\n4,hidden,x', ", 1, 0, ',', '\"'",
          "name", ["x y", 'a "q"', "p,q", "\u00e9", "", "l\nb", "it's", "12"], ("9", "new", None)),
         (b'1;x;1.5\r\n2;"y;z";2\r\n3;;\r\n', ", 0, 0, ';', '\"', 'a integer', 'b text', 'c real'",
          "c", [2.5, -0.0, 1e20, 7.0, 3], (8, "n;", 0.5)),
         (b'"a","b","c","d"\n1,2,3,4\n3,"x",5,6\n5,6,7,8\n', ", 1", "b", ["u", "v w", "9"], ("n", "m", "o", "p")),
         (b"k,v\n1,caf\xe9\n2,x\n", ", 1, 1, ',', '\"'", "v", ["caf\u07e9", "\u07a9", "pl,ain"], ("3", "q")),
         (b"k|v\n1|a\\nb\n2|c\\\\d\n", ", 1, 2, '|'", "v", ["t\tu", "back\\slash", "n\nl"], ("3", "z"))]
random.seed(5)
for index, (data, args, column, pool, new) in enumerate(cases):
    open(f"s{index}.csv", "wb").write(data)
    db.execute(f"CREATE VIRTUAL TABLE s{index} USING editable_csvtable('s{index}.csv'{args})")
    columns = [row[1] for row in db.execute(f"PRAGMA table_info(s{index})")]
    def read_back(path):
        db.execute("DROP TABLE IF EXISTS temp.back")
        db.execute(f"CREATE VIRTUAL TABLE temp.back USING csvtable('{path}'{args})")
        return db.execute("SELECT * FROM back").fetchall()
    assert db.execute(f"SELECT ombrix_save('s{index}', 'copy.csv')").fetchone()[0] == len(read_back(f"s{index}.csv"))
    assert open("copy.csv", "rb").read() == data, index
    for _ in range(40):
        rowids = [r for (r,) in db.execute(f"SELECT rowid FROM s{index}")]
        kind, value = random.random(), random.choice(pool)
        if kind < 0.5 and rowids:
            db.execute(f"UPDATE s{index} SET {column} = ? WHERE rowid = ?", (value, random.choice(rowids)))
        elif kind < 0.65 and rowids:
            db.execute(f"DELETE FROM s{index} WHERE rowid = ?", (random.choice(rowids),))
        elif kind < 0.8:
            db.execute(f"INSERT INTO s{index} VALUES ({', '.join('?' * len(new))})", new)
        else:
            db.execute(f"SELECT ombrix_{random.choice(['undo', 'redo'])}('s{index}')")
    rows = db.execute(f"SELECT * FROM s{index}").fetchall()
    steps = db.execute(f"SELECT count(*) FROM ombrix_steps('s{index}')").fetchone()
    assert db.execute(f"SELECT ombrix_save('s{index}', 'copy.csv')").fetchone()[0] == len(rows)
    assert read_back("copy.csv") == rows, (index, read_back("copy.csv"), rows)
    assert db.execute(f"SELECT count(*) FROM ombrix_steps('s{index}')").fetchone() == steps
    db.execute("DROP TABLE temp.back")
    assert db.execute(f"SELECT ombrix_save('s{index}')").fetchone()[0] == len(rows)
    assert db.execute(f"SELECT * FROM s{index}").fetchall() == read_back(f"s{index}.csv") == rows
    assert db.execute(f"SELECT count(*) FROM ombrix_steps('s{index}')").fetchone()[0] == 0
db.execute("DROP TABLE temp.back")

# Refused, leaving the file and the history as they were: a value csvtable reads back otherwise, a save inside
# a transaction or while a statement reads the table, and one over a file another table's log lies over.
db.execute("UPDATE s0 SET name = 'kept' WHERE rowid = 10")
saved, steps = open("s0.csv", "rb").read(), db.execute("SELECT count(*) FROM ombrix_steps('s0')").fetchone()
db.execute("UPDATE s0 SET name = '1,5' WHERE rowid = 10")
check_error(db, "SELECT ombrix_save('s0')", "ombrix_save: row 10, column name, holds a value that csvtable would "
                                            "read back as the text '1.5'")
db.execute("SELECT ombrix_undo('s0')")
db.execute("INSERT INTO s2 VALUES (NULL, 'm', 'o', 'p')")
last = db.execute("SELECT max(rowid) FROM s2").fetchone()[0]
check_error(db, "SELECT ombrix_save('s2', 'other.csv')",
            f"ombrix_save: row {last}, column a, holds NULL, which csvtable reads only for fields missing at the end of a line")
db.execute("BEGIN")
check_error(db, "SELECT ombrix_save('s0')", "ombrix_save: cannot save s0 over its own file inside a transaction: "
                                            "its history ends at once, which a rollback could not bring back")
db.execute("ROLLBACK")
check_error(db, "SELECT ombrix_save('s0') FROM s0", "ombrix_save: cannot save s0 while a statement reads it")
open("x.csv", "wb").write(cases[1][0])
db.execute("CREATE VIRTUAL TABLE s9 USING editable_csvtable('x.csv', 0, 0, ';', '\"')")
db.execute("DELETE FROM s9 WHERE rowid = 0")
check_error(db, "SELECT ombrix_save('s0', 'x.csv')", f"ombrix_save: cannot save to {os.path.realpath('x.csv')}: "
            "the change log of table s9 lies over it; its edits would no longer match the file")
assert open("s0.csv", "rb").read() == saved and not os.path.exists("other.csv")
assert db.execute("SELECT count(*) FROM ombrix_steps('s0')").fetchone() == steps
# Edited and moved rows keep their places, their fields that still read as they do, and fields past the columns.
open("f.csv", "wb").write(b'id,name,v\n1,"q",x,extra\n2,"a""b",3\n')
db.execute("CREATE VIRTUAL TABLE f USING editable_csvtable('f.csv', 1, 0, ',', '\"')")
db.executescript("UPDATE f SET v = 'y'; UPDATE f SET rowid = 1000 WHERE id = '2'; SELECT ombrix_save('f');")
assert open("f.csv", "rb").read() == b'id,name,v\n1,"q",y,extra\n2,"a""b",y\n'
db.close()

db = connect()
db.enable_load_extension(False)
check_error(db, CSVTABLE, "quillmere_load: extension loading is not enabled on this connection")
db.close()
