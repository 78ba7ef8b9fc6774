-- Files and arguments that CREATE VIRTUAL TABLE refuses, and misuse of the
-- history functions. Run by run_shell_test.sh in examples/tests/data.
.headers on
.mode list
.nullvalue NULL
CREATE VIRTUAL TABLE t USING editable_csv('missing.csv');
CREATE VIRTUAL TABLE t USING editable_csv('.');
CREATE VIRTUAL TABLE t USING editable_csv('empty.csv');
CREATE VIRTUAL TABLE t USING editable_csv('binary.csv');
CREATE VIRTUAL TABLE t USING editable_csv('latin1.csv');
CREATE VIRTUAL TABLE t USING editable_csv('unterminated.csv');
CREATE VIRTUAL TABLE t USING editable_csv('stray_quote.csv');
CREATE VIRTUAL TABLE t USING editable_csv('too_many.csv');
CREATE VIRTUAL TABLE t USING editable_csv('too_few.csv');
CREATE VIRTUAL TABLE t USING editable_csv('no_name.csv');
CREATE VIRTUAL TABLE t USING editable_csv('duplicate.csv');
CREATE VIRTUAL TABLE t USING editable_csv;
CREATE VIRTUAL TABLE t USING editable_csv('small.csv', 'extra');
CREATE VIRTUAL TABLE t USING readonly_csv(too_many.csv);

-- None of them left a table behind.
SELECT count(*) AS tables FROM sqlite_master;

-- History functions: unknown tables, missing and extra arguments.
SELECT ombrix_undo('t');
SELECT ombrix_redo('t', 1);
SELECT ombrix_commit('t');
SELECT ombrix_undo();
SELECT ombrix_redo();
SELECT ombrix_commit();
SELECT ombrix_commit('t', 1);

-- An open table nobody has written to has no history: nothing happens. Names
-- are matched with their letter case.
CREATE VIRTUAL TABLE ok USING editable_csv(small.csv);
SELECT ombrix_undo('ok') AS undo, ombrix_redo('ok') AS redo, ombrix_commit('ok') AS "commit";
SELECT ombrix_undo('OK');
SELECT count(*) AS rows FROM ok;
