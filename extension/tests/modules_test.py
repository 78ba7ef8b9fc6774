# Runs modules.sql in Debian's Python, printing rows as the sqlite3 shell does,
# then checks what the shell cannot: refusals, errors and two connections.
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
check_error(first, "SELECT ombrix_save('one')",
            "ombrix_save: cannot save one: its module writes no rows of its own and no writer of its files is known; "
            "export its rows instead, as README's \"Getting edits out\" shows")
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

db = connect()
db.enable_load_extension(False)
check_error(db, CSVTABLE, "quillmere_load: extension loading is not enabled on this connection")
db.close()
