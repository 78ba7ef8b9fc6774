# Runs the example session (examples/session.sql, placeholders filled in, on
# standard input) in Python's sqlite3 module, as the shell runs it with -echo.
import hashlib
import sqlite3
import sys


def show(columns, rows):
    cells = [[("NULL" if value is None else str(value)) for value in row] for row in rows]
    widths = [max(len(text) for text in column) for column in zip(columns, *cells)]
    rule = "+" + "+".join("-" * (width + 2) for width in widths) + "+"
    print(rule)
    print("| " + " | ".join(name.center(width) for name, width in zip(columns, widths)) + " |")
    print(rule)
    for row in cells:
        print("| " + " | ".join(text.ljust(width) for text, width in zip(row, widths)) + " |")
    print(rule)


def main():
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.enable_load_extension(True)
    # What the shell has built in and the session uses.
    db.create_function("readfile", 1, lambda path: open(path, "rb").read())
    db.create_function("sha3", 1, lambda data: hashlib.sha3_256(data).digest())
    statement = ""
    for line in sys.stdin:
        if line.startswith("."):
            if line.startswith(".load "):
                db.load_extension(line.split(None, 1)[1].strip())
            continue
        statement += line
        if sqlite3.complete_statement(statement):
            print(statement.strip())
            cursor = db.execute(statement)
            if cursor.description:
                show([column[0] for column in cursor.description], cursor.fetchall())
            statement = ""
    db.close()


if __name__ == "__main__":
    main()
