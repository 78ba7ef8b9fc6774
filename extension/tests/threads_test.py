# Threads that use the extension at the same time, each scenario in a child process of Debian's Python
# with a fresh HOME and a time limit, so that a crash, a hang, an error and a wrong result each show.
import argparse
import faulthandler
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from functools import partial

# Its sqlite3 module loads extensions and lets other threads run while a statement steps.
PYTHON = "/usr/bin/python3"
ROWS = 2000
AT_ONCE = 1.0  # seconds; a write that waited would take the busy timeout, 5
WRONG, ERROR = 3, 4  # the child's exit codes
extension = None


def connect(**options):
    conn = sqlite3.connect(":memory:", check_same_thread=False, **options)
    conn.enable_load_extension(True)
    conn.load_extension(extension)
    return conn


def csv_path(name):
    return os.path.join(os.environ["HOME"], name + ".csv")


def file_values(k):
    return {i: k * 10**6 + i * 7919 % 1000 for i in range(1, ROWS + 1)}


def opened(name, k, isolation_level=None):
    """A connection with table `name` over a new file, every third row updated; with the model of its rows."""
    values = file_values(k)
    with open(csv_path(name), "w") as f:
        f.write("id,v\n" + "".join(f"{i},{v}\n" for i, v in values.items()))
    conn = connect(isolation_level=isolation_level)
    conn.execute(f"CREATE VIRTUAL TABLE {name} USING editable_csv('{csv_path(name)}')")
    conn.execute(f"UPDATE {name} SET v = v + 500000 WHERE id % 3 = 0")
    conn.commit()
    return conn, name, {i: v + 500000 * (i % 3 == 0) for i, v in values.items()}


def total(conn, name):
    return conn.execute(f"SELECT sum(v) FROM {name}").fetchone()[0]


def check_rows(conn, name, model, when="at the end"):
    rows = dict(conn.execute(f"SELECT rowid, v FROM {name}"))
    wrong = sorted(r for r in rows.keys() | model.keys() if rows.get(r) != model.get(r))
    assert not wrong, (f"{name} {when}: {len(wrong)} rows differ from the model, first rowid {wrong[0]}: "
                       f"{rows.get(wrong[0])} for {model.get(wrong[0])}")


def for_a_while(seconds):
    """Counts 1, 2, ... until `seconds` have passed."""
    end, n = time.monotonic() + seconds, 0
    while time.monotonic() < end:
        n += 1
        yield n


def together(*workers):
    """Runs each worker on a thread of its own, all starting at once; raises what the first failure raised."""
    start, failures = threading.Barrier(len(workers)), []

    def run(worker):
        start.wait()
        try:
            worker()
        except Exception as failure:
            failures.append(failure)
    threads = [threading.Thread(target=run, args=(worker,)) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for failure in failures[1:]:
        print(f"another thread: {type(failure).__name__}: {failure}", file=sys.stderr)
    if failures:
        raise failures[0]


def scan(conn, name, expected, seconds):
    for _ in for_a_while(seconds):
        got = total(conn, name)
        assert got == expected, f"sum(v) of {name} is {got}, not {expected}"


def update(conn, name, model, rng):
    rowid, value = rng.randrange(1, ROWS + 1), rng.randrange(10**6)
    old = model[rowid]
    conn.execute(f"UPDATE {name} SET v = ? WHERE rowid = ?", (value, rowid))
    model[rowid] = value
    return rowid, old


def scans(threads, seconds):
    tables = [opened(f"t{k}", k) for k in range(threads)]
    together(*(partial(scan, conn, name, sum(model.values()), seconds) for conn, name, model in tables))


def updates(seconds):
    def work(conn, name, model, rng):
        for n in for_a_while(seconds):
            update(conn, name, model, rng)
            if n % 25 == 0:
                conn.execute("SELECT ombrix_commit(?)", (name,)).fetchall()
            if n % 40 == 0:
                conn.execute("SELECT ombrix_undo(?), ombrix_redo(?)", (name, name)).fetchall()
    tables = [opened(f"t{k}", k) for k in range(4)]
    together(*(partial(work, *table, random.Random(k)) for k, table in enumerate(tables)))
    for k, (conn, name, model) in enumerate(tables):
        check_rows(conn, name, model)
        conn.execute("SELECT ombrix_undo(?, 1000000)", (name,)).fetchall()
        check_rows(conn, name, file_values(k), "with every step undone")


def scan_write_view(seconds):
    scanned, written, viewer = opened("scanned", 0), opened("written", 1), connect()

    def write(conn, name, model):
        rng = random.Random(1)
        for n in for_a_while(seconds):
            rowid, old = update(conn, name, model, rng)
            conn.execute("SELECT ombrix_commit(?)", (name,)).fetchall()
            if n % 5 == 0:
                conn.execute("SELECT ombrix_undo(?)", (name,)).fetchall()
                model[rowid] = old

    def view():
        for _ in for_a_while(seconds):
            names = {row[0] for row in viewer.execute("SELECT * FROM ombrix_tables")}
            assert {"scanned", "written"} <= names, f"ombrix_tables lists {sorted(names)}"
    together(partial(scan, *scanned[:2], sum(scanned[2].values()), seconds), partial(write, *written), view)
    check_rows(*written)


def one_connection(seconds):
    conn, name, model = opened("shared", 0, isolation_level="")  # Python's implicit transactions
    lock = threading.Lock()

    def work(rng):
        for n in for_a_while(seconds):
            with lock:
                if n % 10 == 0:
                    conn.commit()
                elif n % 3 == 0:
                    assert total(conn, name) == sum(model.values()), f"sum(v) of {name} is not the model's"
                else:
                    update(conn, name, model, rng)
    together(*(partial(work, random.Random(k)) for k in range(4)))
    conn.commit()
    check_rows(conn, name, model)


def at_once(what, call):
    """What call returns, or the SQLite error it raises, having taken less than AT_ONCE seconds."""
    began = time.monotonic()
    try:
        outcome = call()
    except sqlite3.Error as error:
        outcome = error
    took = time.monotonic() - began
    assert took < AT_ONCE, f"{what} took {took:.1f} s ({outcome!r})"
    return outcome


def two_connections():
    (a, _, _), (b, _, _) = opened("t", 0), opened("u", 1)
    b.execute(f"CREATE VIRTUAL TABLE t USING editable_csv('{csv_path('t')}')")
    return a, b


def half_read_select(seconds):
    a, b = two_connections()
    rows = a.execute("SELECT rowid, v FROM t")
    rows.fetchmany(100)
    at_once("B's write to u during A's read of t", lambda: b.execute("UPDATE u SET v = 1 WHERE rowid = 1"))
    at_once("B's write to t during A's read of t", lambda: b.execute("UPDATE t SET v = 1 WHERE rowid = 1990"))
    at_once("the rest of A's read", rows.fetchall)


def open_transaction(seconds):
    """B's writes wait for A's transaction as long as B's busy timeout says, wherever A's COMMIT comes."""
    a, b = two_connections()
    busy = f"the history database {os.environ['HOME']}/transactions.sqlite is in a transaction of another connection"
    a.execute("BEGIN")
    a.execute("UPDATE t SET v = 2 WHERE rowid = 2")
    b.execute("PRAGMA busy_timeout = 200")
    for what, sql in (("B's write to u", "UPDATE u SET v = 2 WHERE rowid = 2"),
                      ("B's write to t", "UPDATE t SET v = 3 WHERE rowid = 3"),
                      ("B's ombrix_commit('u')", "SELECT ombrix_commit('u')")):
        began = time.monotonic()
        error = at_once(what, lambda: b.execute(sql).fetchall())
        assert (isinstance(error, sqlite3.OperationalError) and str(error) == busy
                and error.sqlite_errorcode & 0xff == sqlite3.SQLITE_BUSY and time.monotonic() - began >= 0.2), \
            f"{what} in A's transaction: {error!r}, not SQLITE_BUSY and {busy!r} after B's busy timeout"
    b.execute("PRAGMA busy_timeout = 5000")
    committer = threading.Timer(0.2, lambda: a.execute("COMMIT"))
    committer.start()
    outcome = at_once("B's write while A's COMMIT comes on another thread",
                      lambda: b.execute("UPDATE u SET v = 2 WHERE rowid = 2"))
    committer.join()
    assert not isinstance(outcome, sqlite3.Error), f"B's write while A committed: {outcome!r}"


def close_beside_transaction(seconds):
    """Closing a connection never waits for another's transaction; its log goes once that transaction ends."""
    a, b = two_connections()
    a.execute("BEGIN")
    a.execute("UPDATE t SET v = 2 WHERE rowid = 2")
    b.execute("PRAGMA busy_timeout = 5000")
    at_once("closing B", b.close)
    a.execute("COMMIT")
    history = sqlite3.connect(f"{os.environ['HOME']}/transactions.sqlite")
    left = history.execute("SELECT name FROM sqlite_master WHERE name LIKE 'u%'").fetchall()
    assert not left, f"B's log is still in the history file after A's COMMIT: {left}"


def browser(seconds):
    """DB Browser's Execute SQL on its one connection: each run in its savepoint on a thread of its own, a query
    run again on the main thread, then for its rows and its count on two threads at once, and taken back when
    nothing was to be written. Four undos, none waiting for another; its savepoint rolled back or written."""
    conn, name, model = opened("t", 0)
    conn.execute("SELECT ombrix_commit('t')").fetchall()

    def run(*sql):
        together(lambda: [conn.execute(s).fetchall() for s in sql])

    def query(sql):
        for what, call in ((sql, lambda: run(sql)), ("again on the main thread", lambda: conn.execute(sql).fetchall()),
                           ("for its rows and count", lambda: together(
                               lambda: conn.execute(f"{sql} LIMIT 0, 49999").fetchall(),
                               lambda: conn.execute(f"SELECT COUNT(*) FROM ({sql})").fetchall()))):
            outcome = at_once(what, call)
            assert not isinstance(outcome, sqlite3.Error), f"{sql} {what}: {outcome!r}"

    def steps(undo, redo, when):
        got = conn.execute("SELECT undo_steps, redo_steps FROM ombrix_tables WHERE name = 't'").fetchone()
        assert got == (undo, redo), f"undo and redo steps {when}: {got}, not {(undo, redo)}"

    run('SAVEPOINT "RESTOREPOINT"')
    query("SELECT ombrix_undo('t')")
    steps(0, 1, "in the savepoint")
    run('ROLLBACK TO SAVEPOINT "RESTOREPOINT"', 'RELEASE "RESTOREPOINT"')
    check_rows(conn, name, model, "after the savepoint is taken back")
    steps(1, 0, "after the savepoint is taken back")
    run('SAVEPOINT "RESTOREPOINT"', "UPDATE t SET v = 0 WHERE rowid = 1")
    query("SELECT ombrix_undo('t')")
    run('RELEASE "RESTOREPOINT"')
    check_rows(conn, name, file_values(0), "with four undos written")
    steps(0, 2, "with four undos written")


def loads(seconds):
    """Threads that load an extension of Debian's through quillmere_load at once, then write and read through it."""
    def work(k):
        name, values = f"c{k}", {str(i): str(v) for i, v in file_values(k).items()}  # csvtable's cells are text
        with open(csv_path(name), "w") as f:
            f.write("id,v\n" + "".join(f"{i},{v}\n" for i, v in values.items()))
        conn = connect(isolation_level=None)
        conn.execute("SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/libsqlite3_mod_csvtable.so')").fetchall()
        conn.execute(f"CREATE VIRTUAL TABLE {name} USING editable_csvtable('{csv_path(name)}', 1, 0, ',')")
        for n in for_a_while(seconds):
            row = str(n % ROWS + 1)
            conn.execute(f"UPDATE {name} SET v = ? WHERE id = ?", (str(n), row))
            values[row] = str(n)
        got = dict(conn.execute(f"SELECT id, v FROM {name}"))
        assert got == values, f"{name} through csvtable: {sum(got.get(i) != v for i, v in values.items())} differ"
        conn.close()
    together(*(partial(work, k) for k in range(4)))


REPEATED = {"scan_4_threads": partial(scans, 4), "scan_2_threads": partial(scans, 2),
            "update_4_threads": updates, "scan_write_view": scan_write_view, "one_connection": one_connection,
            "load_4_threads": loads}
ONCE = {"half_read_select": half_read_select, "open_transaction": open_transaction,
        "close_beside_transaction": close_beside_transaction, "browser": browser}
SCENARIOS = REPEATED | ONCE


def child(args):
    faulthandler.enable()  # a crash or a hang prints where each thread was
    faulthandler.dump_traceback_later(args.timeout * 0.9)
    try:
        SCENARIOS[args.child](args.seconds)
    except AssertionError as failure:
        print(f"wrong result: {failure}", file=sys.stderr)
        sys.exit(WRONG)
    except sqlite3.Error as failure:
        print(f"error: {type(failure).__name__}: {failure}", file=sys.stderr)
        sys.exit(ERROR)


def run_once(args, name):
    """One run of a scenario in a child process: its outcome and what it printed."""
    home = tempfile.mkdtemp(prefix="threads_test.")
    env = dict(os.environ, HOME=home)
    if "SANITIZER_PRELOAD" in env:  # sanitizer builds: into the child alone
        env["LD_PRELOAD"] = env["SANITIZER_PRELOAD"]
    command = [PYTHON, __file__, args.extension, "--child", name, "--seconds", str(args.seconds),
               "--timeout", str(args.timeout)]
    try:
        with open(os.path.join(home, "output"), "w+") as output:
            try:
                code = subprocess.run(command, env=env, stdout=output, stderr=output,
                                      timeout=args.timeout).returncode
                outcome = ("passed" if code == 0 else f"crashed ({signal.Signals(-code).name})" if code < 0
                           else {WRONG: "wrong result", ERROR: "error"}.get(code, f"failed (exit {code})"))
            except subprocess.TimeoutExpired:
                outcome = f"hung (killed after {args.timeout:g} s)"
            output.seek(0)
            return outcome, output.read()
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("extension", help="the built quillmere_extension.so")
    parser.add_argument("scenarios", nargs="*", help=f"default: all of {', '.join(SCENARIOS)}")
    parser.add_argument("--runs", type=int, default=20, help="runs of each threaded scenario (default 20)")
    parser.add_argument("--seconds", type=float, default=0.4, help="work per run (default 0.4)")
    parser.add_argument("--timeout", type=float, default=15, help="seconds a run may take (default 15)")
    parser.add_argument("--max-failures", type=int, default=3, help="failed runs that end a scenario (default 3)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global extension
    extension = args.extension = os.path.abspath(args.extension)
    if args.child:
        return child(args)
    for need in (PYTHON, extension):
        if not os.path.exists(need):
            print(f"SKIP: {need} is missing")
            sys.exit(77)
    unknown = set(args.scenarios) - SCENARIOS.keys()
    if unknown:
        parser.error(f"no scenario {', '.join(sorted(unknown))}")
    failed = False
    for name in args.scenarios or SCENARIOS:
        began, outcomes, first = time.monotonic(), {}, {}
        for _ in range(args.runs if name in REPEATED else 1):
            outcome, output = run_once(args, name)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            first.setdefault(outcome, output)
            if sum(outcomes.values()) - outcomes.get("passed", 0) >= args.max_failures:
                break
        runs = sum(outcomes.values())
        print(f"{name}: {runs} runs, {(time.monotonic() - began) / runs:.1f} s each: "
              + ", ".join(f"{count} {outcome}" for outcome, count in outcomes.items()), flush=True)
        for outcome, output in first.items():
            if outcome != "passed":
                failed = True
                lines = [line for line in output.strip().splitlines() if "/threading.py" not in line]
                print(f"  first {outcome}:", *lines[:24], "..." if len(lines) > 24 else "", sep="\n    ")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
