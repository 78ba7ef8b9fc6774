-- A walk through an editable CSV table in the stock sqlite3 shell: reads, edits,
-- a commit, an undo and a redo, and a check that the CSV file itself is untouched.
--
-- scripts/demo_session.sh BUILD_DIR runs it from the repository root with
-- BUILD_DIR below filled in and HOME pointed at a fresh temporary folder.
.headers on
.mode box
.nullvalue NULL
.load 'BUILD_DIR/quillmere_extension'

-- The file's size and SHA3 hash before anything happens.
CREATE TEMP TABLE before AS
  SELECT length(readfile('examples/data/roads.csv')) AS bytes,
         sha3(readfile('examples/data/roads.csv')) AS hash;

CREATE VIRTUAL TABLE roads USING editable_csv('examples/data/roads.csv');

-- Reads. Blank fields read as NULL; numbers come back as integers and reals.
SELECT count(*) AS segments, round(sum(length_km), 2) AS total_km FROM roads;
SELECT kind, count(*) AS segments, round(avg(length_km), 2) AS avg_km
  FROM roads GROUP BY kind ORDER BY segments DESC;
SELECT id, name, surface, last_survey FROM roads
  WHERE surface IS NULL OR last_survey IS NULL ORDER BY id LIMIT 5;
SELECT id, name, typeof(id), typeof(length_km) FROM roads WHERE name LIKE '%"Old"%';
SELECT id, name, length_km FROM roads WHERE kind = 'motorway' ORDER BY length_km DESC;

-- Edits go to the change log in $HOME/transactions.sqlite, never to the file.
UPDATE roads SET surface = 'asphalt', last_survey = '2024-06-11' WHERE id = 7;
INSERT INTO roads (id, name, kind, length_km, surface, last_survey)
  VALUES (321, 'Kiln Road Bypass, Phase One', 'primary', 4.2, 'asphalt', '2024-06-11');
DELETE FROM roads WHERE kind = 'track' AND length_km < 0.2;
SELECT rowid, id, name, kind, length_km, surface, last_survey FROM roads
  WHERE id IN (7, 321) ORDER BY id;
SELECT count(*) AS segments, sum(kind = 'track') AS tracks FROM roads;

-- The three edits above become one step.
SELECT ombrix_commit('roads') AS "commit";

-- A second step: close every Quarry road.
UPDATE roads SET kind = 'closed', surface = NULL WHERE name LIKE 'Quarry%';
SELECT id, name, kind, surface FROM roads WHERE name LIKE 'Quarry%' ORDER BY id;

-- Undo takes the second step back ...
SELECT ombrix_undo('roads') AS undo;
SELECT id, name, kind, surface FROM roads WHERE name LIKE 'Quarry%' ORDER BY id;

-- ... and redo applies it again.
SELECT ombrix_redo('roads') AS redo;
SELECT kind, count(*) AS segments FROM roads WHERE name LIKE 'Quarry%' GROUP BY kind;

-- The file as it is on disk, through the plain read-only module, next to the
-- edited table: the edits are only in the overlay.
CREATE VIRTUAL TABLE roads_on_disk USING readonly_csv('examples/data/roads.csv');
SELECT 'on disk' AS source, id, name, surface, last_survey FROM roads_on_disk WHERE id = 7
UNION ALL
SELECT 'edited', id, name, surface, last_survey FROM roads WHERE id = 7;

-- Rows that are not the same in both, matched by rowid.
CREATE TEMP VIEW differences AS
  SELECT coalesce(d.rowid, r.rowid) AS rowid
    FROM roads_on_disk AS d FULL JOIN roads AS r ON r.rowid = d.rowid
   WHERE d.rowid IS NULL OR r.rowid IS NULL
      OR (d.id, d.name, d.kind, d.length_km, d.surface, d.last_survey)
         IS NOT (r.id, r.name, r.kind, r.length_km, r.surface, r.last_survey);
SELECT count(*) AS rows_that_differ FROM differences;

-- Undoing both steps gives back exactly the rows of the file.
SELECT ombrix_undo('roads', 2) AS undo;
SELECT count(*) AS rows_that_differ FROM differences;

-- Same size, same hash: the CSV file was never written.
SELECT CASE WHEN b.bytes = length(readfile('examples/data/roads.csv'))
             AND b.hash = sha3(readfile('examples/data/roads.csv'))
            THEN 'unchanged' ELSE 'CHANGED' END AS "examples/data/roads.csv"
  FROM before AS b;
