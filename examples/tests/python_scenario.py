# Loads the extension into Debian's Python sqlite3 module and checks reads,
# edits, history steps, refused CSV files and misuse of the history functions.
import csv
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import unittest

SKIP = 77
EXTENSION = DATA = ROADS = ""


def connect():
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.enable_load_extension(True)
    db.load_extension(EXTENSION)
    db.enable_load_extension(False)
    return db


def json_number(text):
    """A field as the CSV module types it: JSON-style numbers, else text."""
    match = re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?", text)
    if not match:
        return text
    return float(text) if match.group(2) or match.group(3) else int(text)


class Fixture(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=os.environ["HOME"])
        self.db = connect()

    def tearDown(self):
        self.db.close()
        shutil.rmtree(self.dir)

    def copy(self, fixture):
        return shutil.copy(os.path.join(DATA, fixture), self.dir)

    def create(self, table, path, module="editable_csv"):
        self.db.execute(f"CREATE VIRTUAL TABLE {table} USING {module}('{path}')")

    def rows(self, sql, *args):
        return self.db.execute(sql, args).fetchall()


class ReadingTest(Fixture):
    def test_sample_file_reads_as_pythons_csv_module_reads_it(self):
        with open(ROADS, newline="", encoding="utf-8") as source:
            records = list(csv.reader(source))
        expected = [(rowid, *[None if field == "" else json_number(field) for field in record])
                    for rowid, record in enumerate(records[1:], start=1)]
        self.create("roads", ROADS)
        self.assertEqual([c[1] for c in self.rows("PRAGMA table_info(roads)")], records[0])
        self.assertEqual(self.rows("SELECT rowid, * FROM roads"), expected)


class EditingTest(Fixture):
    def setUp(self):
        super().setUp()
        self.path = self.copy("small.csv")
        os.chmod(self.path, 0o444)
        self.create("roads", self.path)

    def names(self):
        return [row[0] for row in self.rows("SELECT name FROM roads")]

    def test_writes_show_at_once_and_never_reach_the_file(self):
        before = os.stat(self.path)
        with open(self.path, "rb") as source:
            original = source.read()
        self.db.execute("UPDATE roads SET name = 'High St' WHERE id = 1")
        self.db.execute("INSERT INTO roads (id, name) VALUES (5, 'Ring Road')")
        self.db.execute("DELETE FROM roads WHERE id = 4")
        self.assertEqual(self.rows("SELECT rowid, id, name FROM roads"), [
            (1, 1, "High St"), (2, 2, "Mill Lane, East"), (3, 3, 'The "Old" Road'), (5, 5, "Ring Road")])
        with open(self.path, "rb") as source:
            self.assertEqual(source.read(), original)
        self.assertEqual(os.stat(self.path).st_mtime_ns, before.st_mtime_ns)
        history = sqlite3.connect(os.path.join(os.environ["HOME"], "transactions.sqlite"))
        tables = {row[0] for row in history.execute("SELECT name FROM sqlite_master")}
        history.close()
        self.assertTrue({"roadsinsertedOrUpdatedRows", "roadsdeletedRows", "roadshistory"} <= tables)

    def test_commit_undo_and_redo_walk_the_steps(self):
        original = self.names()
        self.db.execute("UPDATE roads SET name = 'one' WHERE rowid = 1")
        self.db.execute("SELECT ombrix_commit('roads')")
        self.db.execute("UPDATE roads SET name = 'two' WHERE rowid = 2")
        self.db.execute("SELECT ombrix_commit('roads')")
        self.db.execute("DELETE FROM roads WHERE rowid = 3")
        edited = self.names()
        self.assertEqual(edited, ["one", "two", "Quarry Road"])

        self.db.execute("SELECT ombrix_undo('roads', '2')")
        self.assertEqual(self.names(), ["one", "Mill Lane, East", 'The "Old" Road', "Quarry Road"])
        self.db.execute("SELECT ombrix_redo('roads')")
        self.assertEqual(self.names(), ["one", "two", 'The "Old" Road', "Quarry Road"])
        self.db.execute("SELECT ombrix_undo('roads', 2000000000)")
        self.assertEqual(self.names(), original)
        self.db.execute("SELECT ombrix_redo('roads', 0)")
        self.db.execute("SELECT ombrix_redo('roads', -4)")
        self.assertEqual(self.names(), original)
        self.db.execute("SELECT ombrix_redo('roads', 10)")
        self.assertEqual(self.names(), edited)


class BadInputTest(Fixture):
    REFUSED = {
        "empty.csv": 'CSV file "{}" has no header row: the file is empty',
        "binary.csv": 'CSV file "{}" line 1: NUL byte: this is not a text file',
        "latin1.csv": 'CSV file "{}" line 2: not valid UTF-8',
        "unterminated.csv": 'CSV file "{}" line 3: quoted field not closed by the end of the file',
        "stray_quote.csv": 'CSV file "{}" line 2: misplaced quote: a field that holds quotes must be quoted '
                           "as a whole, with each inner quote doubled",
        "too_many.csv": 'CSV file "{}" line 3: the record has 3 fields, the header has 2 fields',
        "too_few.csv": 'CSV file "{}" line 4: the record has 2 fields, the header has 3 fields',
        "no_name.csv": 'CSV file "{}" line 1: column 2 of the header has no name',
        "duplicate.csv": 'CSV file "{}" line 1: column name "name" appears twice in the header',
    }

    def refused(self, path, module="editable_csv"):
        with self.assertRaises(sqlite3.OperationalError) as caught:
            self.create("t", path, module)
        self.assertEqual(self.rows("SELECT name FROM sqlite_master"), [])
        return str(caught.exception)

    def test_each_bad_file_is_refused_with_its_reason(self):
        for fixture, message in self.REFUSED.items():
            with self.subTest(fixture):
                path = os.path.join(DATA, fixture)
                self.assertEqual(self.refused(path), message.format(path))
                self.assertEqual(self.refused(path, "readonly_csv"), message.format(path))

    def test_missing_files_and_directories_are_refused(self):
        missing = os.path.join(self.dir, "missing.csv")
        self.assertEqual(self.refused(missing), f'cannot open CSV file "{missing}": No such file or directory')
        self.assertEqual(self.refused(self.dir), f'CSV file "{self.dir}" is a directory')

class HistoryFunctionErrorsTest(Fixture):
    def failure(self, sql):
        with self.assertRaises(sqlite3.OperationalError) as caught:
            self.db.execute(sql).fetchall()
        return str(caught.exception)

    def test_unknown_and_dropped_tables(self):
        for call in ("ombrix_undo('nope')", "ombrix_redo('nope', 2)", "ombrix_commit('nope')", "ombrix_undo(NULL)"):
            self.assertEqual(self.failure(f"SELECT {call}"), "No such table ")
        self.create("roads", self.copy("small.csv"))
        self.db.execute("DELETE FROM roads WHERE rowid = 1")
        self.assertEqual(self.failure("SELECT ombrix_undo('ROADS')"), "No such table ")
        self.db.execute("DROP TABLE roads")
        self.assertEqual(self.failure("SELECT ombrix_undo('roads')"), "No such table ")

class LoadingTest(unittest.TestCase):
    def test_entry_point_is_found_with_or_without_the_suffix_and_by_name(self):
        stem = EXTENSION[:-3] if EXTENSION.endswith(".so") else EXTENSION
        for arguments in ((stem,), (EXTENSION, "sqlite3_quillmereextension_init")):
            db = sqlite3.connect(":memory:")
            db.enable_load_extension(True)
            db.execute("SELECT load_extension(" + ", ".join("?" * len(arguments)) + ")", arguments)
            db.execute(f"CREATE VIRTUAL TABLE t USING readonly_csv('{os.path.join(DATA, 'small.csv')}')")
            self.assertEqual(db.execute("SELECT count(*) FROM t").fetchone()[0], 4)
            db.close()

    def test_a_history_store_that_cannot_open_fails_the_load_and_registers_nothing(self):
        home_file = tempfile.NamedTemporaryFile(dir=os.environ["HOME"])
        program = textwrap.dedent(f"""
            import sqlite3
            db = sqlite3.connect(":memory:")
            db.enable_load_extension(True)
            try:
                db.load_extension({EXTENSION!r})
                print("loaded")
            except sqlite3.OperationalError as error:
                print(error)
            try:
                db.execute("CREATE VIRTUAL TABLE t USING editable_csv('{os.path.join(DATA, 'small.csv')}')")
            except sqlite3.OperationalError as error:
                print(error)
            """)
        result = subprocess.run([sys.executable, "-c", program], env={**os.environ, "HOME": home_file.name},
                                capture_output=True, text=True, timeout=60)
        home_file.close()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            "error during initialization: cannot open the history database transactions.sqlite in the home "
            "directory " + home_file.name,
            "no such module: editable_csv"])


def main():
    global EXTENSION, DATA, ROADS
    if len(sys.argv) != 4:
        sys.exit(f"usage: {sys.argv[0]} EXTENSION DATA_DIR ROADS_CSV")
    EXTENSION, DATA, ROADS = (os.path.abspath(arg) for arg in sys.argv[1:])
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        print(f"SKIP: {sys.executable}'s sqlite3 module cannot load extensions")
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
