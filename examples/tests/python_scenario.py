# Loads the demo extension into Debian's Python sqlite3 module: the sample file
# reads as Python's own csv module reads it, and edits undo and redo.
import csv, os, re, sqlite3, sys, unittest

EXTENSION = ROADS = ""


def typed(field):
    """A field as the CSV module types it: NULL when empty, numbers as JSON writes them, else text."""
    match = re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?", field)
    if not match:
        return field or None
    return float(field) if match.group(2) or match.group(3) else int(field)


class DemoExtensionTest(unittest.TestCase):
    def test_sample_file_reads_as_pythons_csv_module_reads_it_and_edits_come_and_go(self):
        with open(ROADS, newline="", encoding="utf-8") as source:
            header, *records = csv.reader(source)
        db = sqlite3.connect(":memory:", isolation_level=None)
        db.enable_load_extension(True)
        db.load_extension(EXTENSION)
        db.execute(f"CREATE VIRTUAL TABLE roads USING editable_csv('{ROADS}')")
        self.assertEqual([column[1] for column in db.execute("PRAGMA table_info(roads)")], header)
        rows = [(rowid, *map(typed, record)) for rowid, record in enumerate(records, 1)]
        self.assertEqual(db.execute("SELECT rowid, * FROM roads").fetchall(), rows)
        db.executescript("UPDATE roads SET name = 'one' WHERE rowid = 1; SELECT ombrix_commit('roads');"
                         "DELETE FROM roads WHERE rowid > 2; INSERT INTO roads (id) VALUES (5)")
        self.assertEqual(db.execute("SELECT rowid, id, name FROM roads").fetchall(),
                         [(1, rows[0][1], "one"), (2, rows[1][1], rows[1][2]), (len(rows) + 1, 5, None)])
        db.execute("SELECT ombrix_undo('roads', '5')")
        self.assertEqual(db.execute("SELECT rowid, * FROM roads").fetchall(), rows)
        db.execute("SELECT ombrix_redo('roads')")
        self.assertEqual(db.execute("SELECT name FROM roads WHERE rowid < 3").fetchall(), [("one",), (rows[1][2],)])


if __name__ == "__main__":
    EXTENSION, ROADS = map(os.path.abspath, sys.argv[1:3])
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        print(f"SKIP: {sys.executable}'s sqlite3 module cannot load extensions")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1] + ["-v"])
