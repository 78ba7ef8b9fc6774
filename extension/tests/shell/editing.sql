-- Edits and history steps on a CSV file through the sqlite3 shell, and the file
-- underneath. Run by run_shell_test.sh in extension/tests/data.
.headers on
.mode box
.nullvalue NULL
CREATE VIRTUAL TABLE roads USING editable_csv('small.csv');
SELECT rowid, *, typeof(length_km), typeof(surveyed) FROM roads;

-- One step: an update, an insert and a delete. A rowid of the file, or one the
-- log holds, is not free.
UPDATE roads SET surveyed = '2024-06-11' WHERE surveyed IS NULL OR surveyed = '';
INSERT INTO roads VALUES (5, 'Ring Road', 'primary', 7.1, NULL);
DELETE FROM roads WHERE kind = 'track' AND length_km > 1;
INSERT INTO roads (rowid, id, name) VALUES (3, 9, 'taken');
INSERT INTO roads (rowid, id, name) VALUES (5, 9, 'taken');
SELECT rowid, * FROM roads;
SELECT ombrix_commit('roads');

-- Undo both steps and redo one; new work after an undo discards the redo.
UPDATE roads SET name = upper(name) WHERE rowid IN (1, 5);
SELECT ombrix_undo('roads', 2);
SELECT rowid, name, surveyed FROM roads;
SELECT ombrix_redo('roads');
DELETE FROM roads WHERE rowid = 1;
SELECT ombrix_redo('roads');
SELECT rowid, name, surveyed FROM roads;

-- A header-only file: inserts start at rowid 1.
CREATE VIRTUAL TABLE fresh USING editable_csv('header_only.csv');
INSERT INTO fresh VALUES (1, 'first');
INSERT INTO fresh (name) VALUES ('second');
SELECT rowid, * FROM fresh;

-- The file itself, read without the overlay, is as it was.
CREATE VIRTUAL TABLE disk USING readonly_csv('small.csv');
SELECT rowid, * FROM disk;

-- A kept log over a file touched since: refused, listed without its table,
-- then taken up again once the user vouches for the file.
ATTACH 'project.db' AS project;
CREATE VIRTUAL TABLE project.parts USING editable_csv('semicolon.csv', delimiter=';', header=no);
UPDATE project.parts SET c2 = 'say "hi"', c3 = x'00ff' WHERE c1 = 1;
DELETE FROM project.parts WHERE c1 = 2;
INSERT INTO project.parts VALUES (4, 'Øst', 1.0);
SELECT ombrix_keep('parts');
SELECT * FROM ombrix_changes('parts');
DETACH project;
.system touch -d '2001-02-03' semicolon.csv
ATTACH 'project.db' AS project;
SELECT count(*) FROM project.parts;
SELECT * FROM ombrix_steps('parts');
SELECT * FROM ombrix_changes('parts');
SELECT ombrix_accept_files('parts');
SELECT rowid, * FROM project.parts;

-- A header that names a column "rowid": new rows still go above the file's rows,
-- and an inner row replaced keeps its old values.
CREATE VIRTUAL TABLE named USING editable_csv('named_rowid.csv');
INSERT INTO named(v) VALUES ('c');
INSERT OR REPLACE INTO named(_rowid_, RowID, v) VALUES (2, 'z', 'B');
SELECT _rowid_, * FROM named;
SELECT * FROM ombrix_changes('named');
