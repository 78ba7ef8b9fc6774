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
    except sqlite3.OperationalError as error:
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

db = connect()
db.enable_load_extension(False)
check_error(db, CSVTABLE, "quillmere_load: extension loading is not enabled on this connection")
db.close()
