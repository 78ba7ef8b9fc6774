"""What the extension's Python tests share: a connection with the extension
loaded, the check that a statement fails naming its cause, and shapelib's
functions for the tests that make .dbf and shapefile sets."""
import ctypes, sqlite3


def connect(extension, *, spatialite=False, **options):
    db = sqlite3.connect(":memory:", isolation_level=None, **options)
    db.enable_load_extension(True)
    db.load_extension(extension)
    if spatialite:
        db.execute("SELECT quillmere_load('mod_spatialite')").fetchall()
    return db


def fails(db, sql, *text):
    try:
        db.execute(sql).fetchall()
    except sqlite3.Error as error:
        assert all(t in str(error) for t in text), (sql, error)
        return
    raise AssertionError(sql + " did not fail")


def shapelib():
    shp = ctypes.CDLL("libshp.so.2")
    handle, text, doubles = ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_double)
    shp.SHPCreate.restype = shp.SHPCreateObject.restype = shp.DBFCreateEx.restype = handle
    shp.SHPCreate.argtypes = [text, ctypes.c_int]
    shp.SHPCreateObject.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int),
                                    ctypes.POINTER(ctypes.c_int), ctypes.c_int, doubles, doubles, doubles, doubles]
    shp.SHPWriteObject.argtypes = [handle, ctypes.c_int, handle]
    shp.SHPClose.argtypes = shp.SHPDestroyObject.argtypes = shp.DBFClose.argtypes = [handle]
    shp.DBFCreateEx.argtypes = [text, text]
    shp.DBFAddNativeFieldType.argtypes = [handle, text, ctypes.c_char, ctypes.c_int, ctypes.c_int]
    shp.DBFWriteAttributeDirectly.argtypes = [handle, ctypes.c_int, ctypes.c_int, text]
    shp.DBFMarkRecordDeleted.argtypes = [handle, ctypes.c_int, ctypes.c_int]
    return shp
