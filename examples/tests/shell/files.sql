-- How the CSV module reads files: line endings, quoting, a byte order mark and
-- blank lines, and how fields are typed; the files and arguments it refuses;
-- misused history functions. Run by run_shell_test.sh in examples/tests/data.
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

-- None of them left a table behind.
SELECT count(*) AS tables FROM sqlite_master WHERE name = 't';
SELECT ombrix_undo('t');
SELECT ombrix_redo();
