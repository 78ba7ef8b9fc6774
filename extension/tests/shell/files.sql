-- How the CSV module reads files: line endings, quoting, a byte order mark, blank
-- lines, field types, rows across blocks, files changed after CREATE; the files and
-- arguments it refuses; misused history functions. Run by run_shell_test.sh.
.headers on
.mode list
.nullvalue NULL
CREATE VIRTUAL TABLE endings USING readonly_csv(endings.csv);
SELECT rowid, * FROM endings;
CREATE VIRTUAL TABLE numbers USING readonly_csv(numbers.csv);
SELECT typeof(v), v FROM numbers;
CREATE VIRTUAL TABLE t USING editable_csv('missing.csv');
CREATE VIRTUAL TABLE t USING editable_csv('.');
CREATE VIRTUAL TABLE t USING editable_csv('/dev/null');
CREATE VIRTUAL TABLE t USING editable_csv('empty.csv');
CREATE VIRTUAL TABLE t USING editable_csv('binary.csv');
CREATE VIRTUAL TABLE t USING editable_csv('latin1.csv');
CREATE VIRTUAL TABLE t USING editable_csv('unterminated.csv');
CREATE VIRTUAL TABLE t USING editable_csv('stray_quote.csv');
CREATE VIRTUAL TABLE t USING editable_csv('too_few.csv');
CREATE VIRTUAL TABLE t USING editable_csv('lines.csv');
CREATE VIRTUAL TABLE t USING editable_csv('no_name.csv');
CREATE VIRTUAL TABLE t USING editable_csv('duplicate.csv');
CREATE VIRTUAL TABLE t USING readonly_csv(too_many.csv);
CREATE VIRTUAL TABLE t USING editable_csv;
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', 'extra');
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', delimiter=':');
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', header=maybe);
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', header=no, Header=yes);
CREATE VIRTUAL TABLE t USING editable_csv('semicolon.csv', header=no);

-- Options: another delimiter, no header (in any of SQLite's words for false),
-- every field the text written.
CREATE VIRTUAL TABLE semi USING editable_csv('semicolon.csv', delimiter=';', header=no);
SELECT rowid, typeof(c3), * FROM semi;
CREATE VIRTUAL TABLE semitext USING editable_csv('semicolon.csv', delimiter = ';', header = 'OFF', types = text);
SELECT rowid, typeof(c1), typeof(c2), * FROM semitext;
CREATE VIRTUAL TABLE tabs USING readonly_csv(tabs.csv, delimiter=tab);
SELECT * FROM tabs;

-- None of them left a table behind.
SELECT count(*) AS tables FROM sqlite_master WHERE name = 't';
SELECT ombrix_undo('t');
SELECT ombrix_redo();

-- Rows read on demand across blocks of the file: quoted line breaks and quotes,
-- CRLF endings, a lookup by rowid.
.mode csv
.echo off
.once long.csv
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
  SELECT i AS id, printf('%.*c', i % 90, 'x') || char(10) || '"' || i || '"' AS note FROM n;
.echo on
.mode list
CREATE VIRTUAL TABLE long USING readonly_csv(long.csv);
SELECT count(*), sum(note = printf('%.*c', id % 90, 'x') || char(10) || '"' || id || '"') FROM long;
SELECT id, length(note) FROM long WHERE rowid = 2999;

-- A file changed in place after CREATE fails the reads that find out; one
-- replaced under its name is still the file the table opened.
.shell cp small.csv changed.csv && cp small.csv replaced.csv
CREATE VIRTUAL TABLE changed USING editable_csv(changed.csv);
CREATE VIRTUAL TABLE replaced USING readonly_csv(replaced.csv);
.shell echo '9,Ring Road,track,0.4,' >> changed.csv && cp header_only.csv new.csv && mv new.csv replaced.csv
SELECT count(*) FROM changed;
SELECT name FROM changed WHERE rowid = 1;
SELECT count(*), max(name) FROM replaced;

-- A file another program rewrites under a table with a log: the next statement
-- on the table is refused, naming the file, and the log, not kept, ends with its
-- edits. Inside a transaction each statement on it is refused until it ends.
.shell cp small.csv logged.csv && cp small.csv inside.csv
CREATE VIRTUAL TABLE logged USING editable_csv(logged.csv);
CREATE VIRTUAL TABLE inside USING editable_csv(inside.csv);
DELETE FROM logged WHERE rowid = 1;
.shell cp header_only.csv logged.csv
SELECT count(*) FROM logged;
BEGIN;
INSERT INTO inside (id) VALUES (10);
.shell echo '9,Ring Road,track,0.4,' >> inside.csv
INSERT INTO inside (id) VALUES (11);
SELECT count(*) FROM inside;
COMMIT;
SELECT count(*) FROM inside;
SELECT name, position FROM ombrix_tables WHERE name IN ('logged', 'inside');

-- Lookups by rowid and by the key column, rows in rowid order: a bound value
-- or literal as it is, a numeric column of a join after reading numeric text.
CREATE VIRTUAL TABLE keyed USING readonly_csv(numbers.csv, key=V);
SELECT rowid, v FROM keyed WHERE v IN (5, '007', 2000, 'inf', '', 1e999);
SELECT rowid, v FROM keyed WHERE rowid IN (22, 2, 99) OR rowid BETWEEN 3.5 AND '5';
CREATE TABLE wanted(x INTEGER);
INSERT INTO wanted VALUES (5), (7), (1e999), (NULL);
SELECT keyed.rowid, v FROM wanted JOIN keyed ON v = x;
SELECT keyed.rowid, v FROM wanted JOIN keyed ON +v = x;
