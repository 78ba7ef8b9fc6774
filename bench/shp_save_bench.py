"""Time ombrix_save of a 100,000-point shapefile table with 10,000 rows
edited against spatialite's ExportSHP of the same rows; prints both and the ratio.
    HOME=$(mktemp -d) python3 bench/shp_save_bench.py build/quillmere_extension"""
import ctypes, os, sqlite3, sys, tempfile, time

extension = sys.argv[1]
work = tempfile.mkdtemp()
os.environ["HOME"], os.environ["SPATIALITE_SECURITY"] = work, "relaxed"
os.chdir(work)
shp = ctypes.CDLL("libshp.so.2")
handle, text = ctypes.c_void_p, ctypes.c_char_p
shp.SHPCreate.restype = shp.SHPCreateSimpleObject.restype = shp.DBFCreateEx.restype = handle
shp.SHPCreate.argtypes = [text, ctypes.c_int]
shp.SHPCreateSimpleObject.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_double),
                                      ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)]
shp.SHPWriteObject.argtypes = [handle, ctypes.c_int, handle]
shp.SHPClose.argtypes = shp.SHPDestroyObject.argtypes = shp.DBFClose.argtypes = [handle]
shp.DBFCreateEx.argtypes = [text, text]
shp.DBFAddNativeFieldType.argtypes = [handle, text, ctypes.c_char, ctypes.c_int, ctypes.c_int]
shp.DBFWriteAttributeDirectly.argtypes = [handle, ctypes.c_int, ctypes.c_int, text]

records = 100_000
out, dbf = shp.SHPCreate(b"points", 1), shp.DBFCreateEx(b"points.dbf", b"UTF-8")
shp.DBFAddNativeFieldType(dbf, b"NAME", b"C", 12, 0)
shp.DBFAddNativeFieldType(dbf, b"V", b"N", 10, 2)
for i in range(records):
    x, y = ctypes.c_double(i % 1000), ctypes.c_double(i // 1000)
    obj = shp.SHPCreateSimpleObject(1, 1, ctypes.byref(x), ctypes.byref(y), None)
    shp.SHPWriteObject(out, -1, obj)
    shp.SHPDestroyObject(obj)
    shp.DBFWriteAttributeDirectly(dbf, i, 0, b"p%d" % i)
    shp.DBFWriteAttributeDirectly(dbf, i, 1, b"%10.2f" % (i / 4))
shp.SHPClose(out)
shp.DBFClose(dbf)

db = sqlite3.connect(":memory:", isolation_level=None)
db.enable_load_extension(True)
db.load_extension(extension)
db.execute("SELECT quillmere_load('mod_spatialite')").fetchall()
db.execute("CREATE VIRTUAL TABLE t USING editable_VirtualShape('points', 'UTF-8', 4326)")
db.execute("UPDATE t SET name = 'edited', geometry = MakePoint(rowid, -1, 4326) WHERE rowid % 10 = 0")


def timed(sql):
    start = time.perf_counter()
    db.execute(sql).fetchall()
    return time.perf_counter() - start


save = min(timed(f"SELECT ombrix_save('t', 'saved{n}')") for n in range(3))
export = min(timed(f"SELECT ExportSHP('t', 'geometry', 'exported{n}', 'UTF-8', 'POINT')") for n in range(3))
assert os.path.exists("exported0.shp") and os.path.exists("saved0.shp")
print(f"ombrix_save {save:.3f} s, ExportSHP {export:.3f} s, ratio {save / export:.2f}")
