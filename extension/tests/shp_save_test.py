"""ombrix_save of editable_VirtualShape tables in Debian's Python, with sets
made by shapelib: an unedited set comes back byte for byte; random edits read
back through VirtualShape with untouched shapes byte for byte; holes, parts
and wrong geometry types; a save stopped between its renames is finished by
the next open, never leaving a mix.
    shp_save_test.py EXTENSION"""
import ctypes, os, random, shutil, sqlite3, struct, subprocess, sys, tempfile

from test_support import connect as connect_to, fails, shapelib

extension = sys.argv[1]
work = tempfile.mkdtemp()
os.environ["HOME"] = work
os.chdir(work)
shp = shapelib()
SET = (".shp", ".shx", ".dbf")


def make(stem, kind, shapes):
    """shapes: lists of parts, each a list of (x, y[, z or m]); a NAME and a V per shape."""
    out = shp.SHPCreate(stem.encode(), kind)
    for parts in shapes:
        points = [p for part in parts for p in part]
        starts = [sum(len(p) for p in parts[:i]) for i in range(len(parts))]
        axes = [(ctypes.c_double * len(points))(*[p[axis] for p in points]) for axis in range(len(points[0]))]
        obj = shp.SHPCreateObject(kind, -1, len(parts), (ctypes.c_int * len(parts))(*starts), None, len(points),
                                  axes[0], axes[1], axes[2] if kind // 10 == 1 else None,
                                  axes[2] if kind // 10 == 2 else None)
        shp.SHPWriteObject(out, -1, obj)
        shp.SHPDestroyObject(obj)
    shp.SHPClose(out)
    dbf = shp.DBFCreateEx((stem + ".dbf").encode(), b"UTF-8")
    shp.DBFAddNativeFieldType(dbf, b"NAME", b"C", 10, 0)
    shp.DBFAddNativeFieldType(dbf, b"V", b"N", 8, 2)
    for row in range(len(shapes)):
        shp.DBFWriteAttributeDirectly(dbf, row, 0, b"n%d" % row)
        shp.DBFWriteAttributeDirectly(dbf, row, 1, b"%8.2f" % (row / 4))
    shp.DBFClose(dbf)
    return files(stem)


def files(stem):
    return [open(stem + e, "rb").read() if os.path.exists(stem + e) else None for e in SET + (".prj",)]


def connect():
    return connect_to(extension, spatialite=True)


def shown(db, table, geometry="geometry"):
    return db.execute(f"SELECT AsText({geometry}), name, v FROM {table}").fetchall()


def read_back(stem, geometry="geometry"):
    reader = connect()
    reader.execute(f"CREATE VIRTUAL TABLE b USING VirtualShape('{stem}', 'UTF-8', 4326)")
    rows = shown(reader, "b", geometry)
    reader.close()
    return rows


def shapes_of(data, index):
    count = (len(index) - 100) // 8
    at = [int.from_bytes(index[100 + 8 * i:104 + 8 * i], "big") * 2 for i in range(count)]
    return [data[a + 8:a + 8 + int.from_bytes(data[a + 4:a + 8], "big") * 2] for a in at]


original = make("t", 1, [[[(i, i * 2)]] for i in range(40)])
open("t.prj", "w").write("GEOGCS[\"WGS 84\"]")
original = files("t")
db = connect()
db.execute("CREATE VIRTUAL TABLE t USING editable_VirtualShape('t', 'UTF-8', 4326)")
assert db.execute("SELECT ombrix_save('t', 'copy.shp')").fetchone() == (40,) and files("copy") == original

random.seed(11)
for _ in range(120):
    rowids = [r for (r,) in db.execute("SELECT rowid FROM t")]
    kind, rowid = random.random(), random.choice(rowids)
    if kind < 0.25:
        db.execute("UPDATE t SET name = ?, v = ? WHERE rowid = ?", (f"e{rowid}", rowid / 2, rowid))
    elif kind < 0.5:
        db.execute("UPDATE t SET geometry = MakePoint(?, -1.5, 4326) WHERE rowid = ?", (rowid * 3, rowid))
    elif kind < 0.6:
        db.execute("DELETE FROM t WHERE rowid = ?", (rowid,))
    elif kind < 0.75:
        db.execute("INSERT INTO t (geometry, name, v) VALUES (MakePoint(7, 8, 4326), 'new', 0.25)")
    else:
        db.execute(f"SELECT ombrix_{random.choice(['undo', 'redo'])}('t')")
rows = shown(db, "t")
untouched = [(rowid, position) for position, (rowid,) in enumerate(db.execute("SELECT rowid FROM t"))
             if rowid <= 40 and not db.execute("SELECT 1 FROM ombrix_changes('t') WHERE original_rowid = ?",
                                               (rowid,)).fetchone()]
assert untouched and len(untouched) < len(rows)
steps = db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone()
os.makedirs("out")
assert db.execute("SELECT ombrix_save('t', 'out/edited')").fetchone() == (len(rows),)
assert read_back("out/edited") == rows and files("t") == original
saved = files("out/edited")
assert saved[3] == original[3] and not [f for f in os.listdir("out") if f.startswith(".")]
old_shapes, new_shapes = shapes_of(original[0], original[1]), shapes_of(saved[0], saved[1])
assert all(new_shapes[position] == old_shapes[rowid - 1] for rowid, position in untouched)
assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == steps

# A geometry of another type than the file's, or no geometry at all: refused naming row and column, nothing changed.
r = db.execute("SELECT min(rowid) FROM t").fetchone()[0]
for value, error in (("GeomFromText('LINESTRING(0 0, 1 1)', 4326)", "holds a LINESTRING, which a shapefile of Point"),
                     ("MakePointZ(1, 2, 3, 4326)", "holds a geometry of coordinates XYZ"),
                     ("x'0102'", "holds a value that is no geometry")):
    db.execute("SELECT ombrix_commit('t')")
    db.execute(f"UPDATE t SET geometry = {value} WHERE rowid = {r}")
    steps = db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone()
    fails(db, "SELECT ombrix_save('t')", f"row {r}, column geometry, {error}")
    fails(db, "SELECT ombrix_save('t', 'refused')", f"row {r}, column geometry, {error}")
    assert files("t") == original and not os.path.exists("refused.shp")
    assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == steps
    db.execute("SELECT ombrix_undo('t')")

# Over its own files: the history ends and the table reads the saved set.
db.execute("BEGIN")
fails(db, "SELECT ombrix_save('t')", "cannot save t over its own file inside a transaction")
db.execute("ROLLBACK")
fails(db, "SELECT ombrix_save('t') FROM t", "cannot save t while a statement reads it")
assert db.execute("SELECT ombrix_save('t')").fetchone() == (len(rows),)
assert shown(db, "t") == read_back("t") == rows and files("t")[3] == original[3]
assert db.execute("SELECT count(*) FROM ombrix_steps('t')").fetchone() == (0,)

# Polygons with holes, several rings and NULL shapes; lines of several parts.
square = [(0, 0), (0, 10), (10, 10), (10, 0), (0, 0)]
make("poly", 5, [[square], [[(20, 20), (20, 30), (30, 30), (20, 20)]]])
make("lines", 3, [[[(0, 0), (1, 1)]], [[(5, 5), (6, 6), (7, 5)]]])
db.execute("CREATE VIRTUAL TABLE poly USING editable_VirtualShape('poly', 'UTF-8', 4326)")
db.execute("CREATE VIRTUAL TABLE lines USING editable_VirtualShape('lines', 'UTF-8', 4326)")
db.execute("UPDATE poly SET geometry = GeomFromText('POLYGON((0 0, 0 10, 10 10, 10 0, 0 0), "
           "(2 2, 4 2, 4 4, 2 4, 2 2))', 4326) WHERE rowid = 1")
db.execute("INSERT INTO poly (geometry, name, v) VALUES (GeomFromText('MULTIPOLYGON(((40 40, 40 50, 50 50, 40 40)), "
           "((60 60, 60 70, 70 70, 60 60)))', 4326), 'two', 1)")
db.execute("INSERT INTO lines (geometry, name, v) VALUES (GeomFromText('MULTILINESTRING((0 0, 1 0), (2 2, 3 3, 4 2))', "
           "4326), 'parts', 2)")
db.execute("UPDATE lines SET geometry = GeomFromText('LINESTRING(9 9, 8 8)', 4326) WHERE rowid = 2")
# VirtualShape shows every shape of a file as a multi-geometry once one of them has several parts.
for table in ("poly", "lines"):
    rows = shown(db, table, "CastToMulti(geometry)")
    assert db.execute(f"SELECT ombrix_save('{table}')").fetchone() == (len(rows),)
    assert read_back(table, "CastToMulti(geometry)") == shown(db, table, "CastToMulti(geometry)") == rows
counter_clockwise = "POLYGON((0 0, 10 0, 10 10, 0 10, 0 0))"
db.execute(f"UPDATE poly SET geometry = GeomFromText('{counter_clockwise}', 4326) WHERE rowid = 2")
db.execute("UPDATE poly SET geometry = NULL WHERE rowid = 1")
db.execute("SELECT ombrix_save('poly')")
assert read_back("poly")[:2] == [(None, "n0", 0.0), ("MULTIPOLYGON(((0 0, 0 10, 10 10, 10 0, 0 0)))", "n1", 0.25)]

# Z and M values, kept with their ranges in the header; a save that only deletes.
make("pz", 11, [[[(1, 2, 3)]], [[(4, 5, 6)]]])
make("am", 23, [[[(0, 0, 1), (1, 1, 2)]]])
for table in ("pz", "am"):
    db.execute(f"CREATE VIRTUAL TABLE {table} USING editable_VirtualShape('{table}', 'UTF-8', 4326)")
db.execute("UPDATE pz SET geometry = MakePointZM(7, 8, -9, 0, 4326) WHERE rowid = 2")
db.execute("INSERT INTO pz (geometry, name, v) VALUES (MakePointZ(1, 1, 20, 4326), 'z', 0)")
db.execute("INSERT INTO am (geometry, name, v) VALUES (GeomFromText('LINESTRINGM(5 5 7, 6 6 8)', 4326), 'm', 0)")
db.execute("DELETE FROM lines WHERE rowid = 1")
db.execute("UPDATE am SET geometry = GeomFromText('LINESTRING(0 0, 2 2)', 4326) WHERE rowid = 1")
fails(db, "SELECT ombrix_save('am', 'refused')", "holds a geometry of coordinates XY, where ArcM shapes hold X, Y and M")
db.execute("UPDATE am SET geometry = GeomFromText('LINESTRINGM(0 0 1, 2 2 3)', 4326) WHERE rowid = 1")
for table, geometry in (("pz", "geometry"), ("am", "geometry"), ("lines", "CastToMulti(geometry)")):
    rows = shown(db, table, geometry)
    assert db.execute(f"SELECT ombrix_save('{table}')").fetchone() == (len(rows),)
    saved = shown(db, table, geometry)
    assert read_back(table, geometry) == saved and (saved == rows or table == "pz")
db.execute("UPDATE lines SET name = 'kept' WHERE rowid = 2")
fails(db, "SELECT ombrix_save('pz', 'lines.shp')", "the change log of table lines lies over it")
# VirtualShape reads a file of Z values with M values too, 0 where none was written.
assert [g for g, _, _ in shown(db, "pz")] == ["POINT ZM(1 2 3 0)", "POINT ZM(7 8 -9 0)", "POINT ZM(1 1 20 0)"]
header = open("pz.shp", "rb").read(100)
assert struct.unpack("<4d", header[36:68]) == (1, 1, 7, 8) and struct.unpack("<2d", header[68:84]) == (-9, 20)

# Saves stopped after each of their renames (and before any): the next open finishes the set, never a mix.
child = """import sqlite3, sys
db = sqlite3.connect(':memory:', isolation_level=None)
db.enable_load_extension(True)
db.load_extension(sys.argv[1])
db.execute("SELECT quillmere_load('mod_spatialite')").fetchall()
db.execute(f"CREATE VIRTUAL TABLE c{sys.argv[2]} USING editable_VirtualShape('copy', 'UTF-8', 4326)")
db.execute(f"UPDATE c{sys.argv[2]} SET geometry = MakePoint(5, 5, 4326), name = 'moved' WHERE rowid = 3")
db.execute(f"SELECT ombrix_save('c{sys.argv[2]}', ?)", (sys.argv[3],)).fetchall()
"""
subprocess.run([sys.executable, "-c", child, extension, "ref", "ref"], check=True)
new = files("ref")
for stop in range(5):
    for extension_name in SET + (".prj",):
        shutil.copy("copy" + extension_name, f"crash{stop}" + extension_name)
    crash = subprocess.run([sys.executable, "-c", child, extension, str(stop), f"crash{stop}"],
                           env=dict(os.environ, QUILLMERE_CRASH_AFTER_RENAMES=str(stop)))
    assert crash.returncode == 99, crash
    assert os.path.exists(f".crash{stop}.set-journal")
    db.execute(f"CREATE VIRTUAL TABLE crash{stop} USING editable_VirtualShape('crash{stop}', 'UTF-8', 4326)")
    assert files(f"crash{stop}") == new, ([a == b for a, b in zip(files(f"crash{stop}"), new)], os.listdir())
    assert not [f for f in os.listdir() if f.startswith(f".crash{stop}")]

# A journal cut short, as by a save stopped while writing it: its files go, the old set stays.
open(".copy.saving-x.shp", "wb").write(b"partial")
open(".copy.set-journal", "w").write(f"{work}/.copy.saving-x.shp\t{work}/copy.shp\n")
db.execute("CREATE VIRTUAL TABLE torn USING editable_VirtualShape('copy', 'UTF-8', 4326)")
assert files("copy") == original and not [f for f in os.listdir() if f.startswith(".copy")]
db.close()
