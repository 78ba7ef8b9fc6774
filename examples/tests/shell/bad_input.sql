-- Files and arguments that CREATE VIRTUAL TABLE refuses, and misused history
-- functions. Run by run_shell_test.sh in examples/tests/data.
.headers on
.mode list
.nullvalue NULL
CREATE VIRTUAL TABLE t USING editable_csv('missing.csv');
CREATE VIRTUAL TABLE t USING editable_csv('.');
CREATE VIRTUAL TABLE t USING editable_csv('/dev/null');
CREATE VIRTUAL TABLE t USING editable_csv('empty.csv');
CREATE VIRTUAL TABLE t USING editable_csv('latin1.csv');
CREATE VIRTUAL TABLE t USING readonly_csv(too_many.csv);
CREATE VIRTUAL TABLE t USING editable_csv;
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', 'extra');

-- None of them left a table behind.
SELECT count(*) AS tables FROM sqlite_master;
SELECT ombrix_undo('t');
SELECT ombrix_redo();
