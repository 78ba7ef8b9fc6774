# Loads the extension into Debian's Python sqlite3 module: the sample file
# read as Python's own csv module reads it, edits undone and redone on a read-only
# file that stays as it was, the entry point found by name, and a history
# database that cannot be opened failing the load.
import csv, os, re, shutil, sqlite3, subprocess, sys, unittest

EXTENSION = DATA = ROADS = ""


def connect():
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.enable_load_extension(True)
    db.load_extension(EXTENSION)
    return db


def typed(field):
    """A field as the CSV module types it: NULL when empty, numbers as JSON writes them, else text."""
    match = re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?", field)
    if not match:
        return field or None
    return float(field) if match.group(2) or match.group(3) else int(field)


class DemoExtensionTest(unittest.TestCase):
    def test_sample_file_reads_as_pythons_csv_module_reads_it(self):
        with open(ROADS, newline="", encoding="utf-8") as source:
            header, *records = csv.reader(source)
        db = connect()
        db.execute(f"CREATE VIRTUAL TABLE roads USING editable_csv('{ROADS}')")
        self.assertEqual([column[1] for column in db.execute("PRAGMA table_info(roads)")], header)
        self.assertEqual(db.execute("SELECT rowid, * FROM roads").fetchall(),
                         [(rowid, *map(typed, record)) for rowid, record in enumerate(records, 1)])

    def test_edits_undo_and_redo_leave_a_read_only_file_alone(self):
        path = shutil.copy(os.path.join(DATA, "small.csv"), os.environ["HOME"])
        os.chmod(path, 0o444)
        with open(path, "rb") as source:
            original = source.read()
        db = connect()
        db.execute(f"CREATE VIRTUAL TABLE roads USING editable_csv('{path}')")
        names = lambda: [row[0] for row in db.execute("SELECT name FROM roads")]
        before = names()
        for sql in ("UPDATE roads SET name = 'one' WHERE rowid = 1", "SELECT ombrix_commit('roads')",
                    "DELETE FROM roads WHERE rowid = 2", "INSERT INTO roads (id, name) VALUES (5, 'Ring Road')"):
            db.execute(sql)
        edited = names()
        self.assertEqual(edited, ["one", 'The "Old" Road', "Quarry Road", "Ring Road"])
        db.execute("SELECT ombrix_undo('roads')")
        self.assertEqual(names(), ["one"] + before[1:])
        db.execute("SELECT ombrix_undo('roads', '5')")
        self.assertEqual(names(), before)
        db.execute("SELECT ombrix_redo('roads', 2)")
        self.assertEqual(names(), edited)
        with open(path, "rb") as source:
            self.assertEqual(source.read(), original)

    def test_entry_point_is_found_without_the_suffix_and_by_name(self):
        for arguments in ((EXTENSION[:-3],), (EXTENSION, "sqlite3_quillmereextension_init")):
            db = sqlite3.connect(":memory:")
            db.enable_load_extension(True)
            db.execute("SELECT load_extension(" + ", ".join("?" * len(arguments)) + ")", arguments)
            db.execute(f"CREATE VIRTUAL TABLE t USING readonly_csv('{os.path.join(DATA, 'small.csv')}')")
            self.assertEqual(db.execute("SELECT count(*) FROM t").fetchone()[0], 4)

    def test_a_history_database_that_cannot_be_opened_fails_the_load(self):
        home = os.path.join(os.environ["HOME"], "a-file")
        open(home, "w").close()
        program = ("import sqlite3\ndb = sqlite3.connect(':memory:')\ndb.enable_load_extension(True)\n"
                   f"for load in (lambda: db.load_extension({EXTENSION!r}),\n"
                   "             lambda: db.execute('CREATE VIRTUAL TABLE t USING editable_csv(x)')):\n"
                   "    try: load()\n    except sqlite3.OperationalError as error: print(error)\n")
        result = subprocess.run([sys.executable, "-c", program], env={**os.environ, "HOME": home},
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.stdout.splitlines(), [
            "error during initialization: cannot open the history database transactions.sqlite in the home "
            "directory " + home, "no such module: editable_csv"], result.stderr)


if __name__ == "__main__":
    EXTENSION, DATA, ROADS = map(os.path.abspath, sys.argv[1:4])
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        print(f"SKIP: {sys.executable}'s sqlite3 module cannot load extensions")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1] + ["-v"])
