-- Two files made editable, a shapefile of roads (spatialite's VirtualShape) and a CSV of their
-- surveys (csvtable): reads, edits, named steps, an undo and a redo, and what the history
-- shows of them; neither file changes.
--
-- scripts/demo_session.sh BUILD_DIR runs it from the repository root with BUILD_DIR and DEMO_DIR
-- (where it made roads.shp) filled in and HOME at a fresh temporary folder, in the sqlite3 shell
-- and then in Debian's Python (examples/session.py).
.headers on
.mode box
.nullvalue NULL
.load BUILD_DIR/quillmere_extension

-- quillmere_load loads an extension and registers an editable_<name> overlay
-- for each virtual-table module it registers.
SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/libsqlite3_mod_csvtable.so') AS csvtable;
SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/mod_spatialite.so') LIKE '%editable_VirtualShape%'
    AS editable_VirtualShape;
-- Spatialite measures lengths on the ellipsoid once it knows WGS84.
SELECT InitSpatialMetadata(1, 'WGS84') AS spatial_metadata;

-- Both files' size and SHA3 hash before anything happens.
CREATE TEMP TABLE before AS
  SELECT path, length(readfile(path)) AS bytes, sha3(readfile(path)) AS hash
    FROM (SELECT 'DEMO_DIR/roads.shp' AS path UNION ALL SELECT 'DEMO_DIR/roads.dbf'
          UNION ALL SELECT 'examples/data/roads.csv');

CREATE VIRTUAL TABLE roads USING editable_VirtualShape('DEMO_DIR/roads', 'UTF-8', 4326);
CREATE VIRTUAL TABLE surveys USING editable_csvtable('examples/data/roads.csv', -1, 0, ',', '"',
  'INTEGER', 'TEXT', 'TEXT', 'REAL', 'TEXT', 'TEXT');

-- Reads: the lines' lengths as measured, next to the lengths the surveys give.
SELECT r.kind, count(*) AS roads, round(sum(GLength(r.Geometry, 1)) / 1000, 1) AS km_measured,
       round(sum(s.length_km), 1) AS km_surveyed
  FROM roads AS r JOIN surveys AS s ON s.id = r.id
 GROUP BY r.kind ORDER BY km_measured DESC;
SELECT r.id, r.name, r.kind, s.surface, s.last_survey
  FROM roads AS r JOIN surveys AS s ON s.id = r.id
 WHERE r.id IN (131, 290, 321) ORDER BY r.id;

-- Edits go to the change logs in $HOME/transactions.sqlite, never to the files.
UPDATE roads SET name = 'Quarry Road, Bypass' WHERE id = 290;
INSERT INTO roads (id, name, kind, Geometry)
  VALUES (321, 'Kiln Road Link', 'secondary',
          GeomFromText('LINESTRING(-1.45 52.05, -1.44 52.056, -1.43 52.058)', 4326));
DELETE FROM roads WHERE kind = 'track' AND GLength(Geometry, 1) < 250;
UPDATE surveys SET surface = 'asphalt', last_survey = '2024-06-11' WHERE id IN (131, 290);
INSERT INTO surveys (id, name, kind, length_km, surface, last_survey)
  VALUES (321, 'Kiln Road Link', 'secondary', 1.7, 'asphalt', '2024-06-11');
SELECT r.id, r.name, r.kind, CAST(GLength(r.Geometry, 1) AS INTEGER) AS metres, s.surface, s.last_survey
  FROM roads AS r LEFT JOIN surveys AS s ON s.id = r.id
 WHERE r.id IN (131, 290, 321) ORDER BY r.id;
SELECT count(*) AS roads, sum(kind = 'track') AS tracks FROM roads;

-- The edits above become the first step of each table's history, named as they close. The
-- state saved so far is marked clean, as an editor does when it saves.
SELECT ombrix_commit('roads', 'Rename, add a link, drop short tracks') AS roads,
       ombrix_commit('surveys', 'Survey Kiln Road Link') AS surveys,
       ombrix_mark_clean('roads') AS clean;

-- The rows of the shapefile that changed, with their values now: what a host would write back.
SELECT c.change, c.original_rowid, c.rowid, r.id, r.name, r.kind
  FROM ombrix_changes('roads') AS c LEFT JOIN roads AS r ON r.rowid = c.rowid
 ORDER BY c.change, coalesce(c.rowid, c.original_rowid);

-- What an editor's Undo and Redo buttons would say, and whether each file needs saving.
CREATE TEMP VIEW buttons AS
  SELECT t.name,
         (SELECT 'Undo ' || label FROM ombrix_steps(t.name) WHERE state <> 'undone'
           ORDER BY step DESC LIMIT 1) AS undo,
         (SELECT 'Redo ' || label FROM ombrix_steps(t.name) WHERE state = 'undone'
           ORDER BY step LIMIT 1) AS redo,
         t.undo_steps, t.redo_steps, t.modified, NOT t.clean AS unsaved
    FROM ombrix_tables AS t;

-- A second step, named as it starts: every Quarry road closed.
SELECT ombrix_label('roads', 'Close the Quarry roads') AS label;
UPDATE roads SET kind = 'closed' WHERE name LIKE 'Quarry%';
SELECT kind, count(*) AS quarry_roads FROM roads WHERE name LIKE 'Quarry%' GROUP BY kind;
SELECT * FROM buttons;
SELECT step, state, inserted, updated, deleted, label FROM ombrix_steps('roads');

-- Undo takes the second step back: the roads are as saved again ...
SELECT ombrix_undo('roads') AS undo;
SELECT kind, count(*) AS quarry_roads FROM roads WHERE name LIKE 'Quarry%' GROUP BY kind;
SELECT * FROM buttons;

-- ... and redo applies it again.
SELECT ombrix_redo('roads') AS redo;
SELECT kind, count(*) AS quarry_roads FROM roads WHERE name LIKE 'Quarry%' GROUP BY kind;
SELECT * FROM buttons;

-- The shapefile as it is on disk, through spatialite's own read-only module:
-- the rows that are not the same in both, then again after undoing every
-- step, which gives back exactly the file's rows.
CREATE VIRTUAL TABLE roads_on_disk USING VirtualShape('DEMO_DIR/roads', 'UTF-8', 4326);
CREATE TEMP VIEW edited AS SELECT rowid, id, name, kind, AsText(Geometry) FROM roads;
CREATE TEMP VIEW on_disk AS SELECT rowid, id, name, kind, AsText(Geometry) FROM roads_on_disk;
CREATE TEMP VIEW differences AS
  SELECT count(DISTINCT rowid) AS rows_that_differ
    FROM (SELECT * FROM edited EXCEPT SELECT * FROM on_disk
          UNION ALL SELECT * FROM (SELECT * FROM on_disk EXCEPT SELECT * FROM edited));
SELECT * FROM differences;
SELECT ombrix_undo('roads', 2) AS roads, ombrix_undo('surveys') AS surveys;
SELECT * FROM differences;

-- Same size, same hash: neither file was ever written.
SELECT replace(b.path, 'DEMO_DIR/', '') AS file, b.bytes,
       CASE WHEN b.bytes = length(readfile(b.path)) AND b.hash = sha3(readfile(b.path))
            THEN 'unchanged' ELSE 'CHANGED' END AS since_the_start
  FROM before AS b;

-- Edits last as long as the table is open, unless its change log is kept. The roads'
-- log, both steps undone, stays in the history file when this run ends; the next run
-- (examples/resume.sql) takes it up and redoes them.
SELECT ombrix_keep('roads') AS kept;
