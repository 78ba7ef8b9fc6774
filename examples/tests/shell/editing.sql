-- Edits, history steps and the file underneath, through the sqlite3 shell.
-- Run by run_shell_test.sh in examples/tests/data with the extension loaded.
.headers on
.mode box
.nullvalue NULL
CREATE VIRTUAL TABLE roads USING editable_csv('small.csv');
SELECT rowid, *, typeof(length_km), typeof(surveyed) FROM roads;

-- First step: an update, an insert and a delete.
UPDATE roads SET surveyed = '2024-06-11' WHERE surveyed IS NULL OR surveyed = '';
INSERT INTO roads VALUES (5, 'Ring Road', 'primary', 7.1, NULL);
DELETE FROM roads WHERE kind = 'track' AND length_km > 1;
SELECT rowid, * FROM roads;
SELECT ombrix_commit('roads');

-- A rowid of the file, or one the log holds, is not free.
INSERT INTO roads (rowid, id, name) VALUES (3, 9, 'taken');
INSERT INTO roads (rowid, id, name) VALUES (5, 9, 'taken');
INSERT INTO roads (rowid, id, name) VALUES (40, 40, 'Far Lane');

-- Second step, then undo both and redo both.
UPDATE roads SET name = upper(name) WHERE rowid IN (1, 5);
SELECT rowid, name FROM roads;
SELECT ombrix_undo('roads');
SELECT rowid, name FROM roads;
SELECT ombrix_undo('roads');
SELECT rowid, * FROM roads;
SELECT ombrix_redo('roads', 2);
SELECT rowid, name, surveyed FROM roads;

-- New work after an undo discards what could have been redone.
SELECT ombrix_undo('roads');
DELETE FROM roads WHERE rowid = 1;
SELECT ombrix_redo('roads');
SELECT rowid, name FROM roads;

-- A header-only file: inserts start at rowid 1.
CREATE VIRTUAL TABLE fresh USING editable_csv('header_only.csv');
SELECT count(*) FROM fresh;
INSERT INTO fresh VALUES (1, 'first');
INSERT INTO fresh (name) VALUES ('second');
SELECT rowid, * FROM fresh;
SELECT ombrix_undo('fresh');
SELECT count(*) FROM fresh;

-- The file itself, read without the overlay, is as it was.
CREATE VIRTUAL TABLE disk USING readonly_csv('small.csv');
SELECT rowid, * FROM disk;

-- Dropping a table ends its history.
DROP TABLE roads;
SELECT ombrix_undo('roads');
