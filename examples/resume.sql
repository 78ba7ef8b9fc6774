-- The run after examples/session.sql, with the same HOME: a table of the same name over
-- the same shapefile takes up the change log the first run kept, its steps and their
-- names with it, and redoes what the first run undid.
.headers on
.mode box
.nullvalue NULL
.load BUILD_DIR/quillmere_extension
SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/mod_spatialite.so') LIKE '%editable_VirtualShape%'
    AS editable_VirtualShape;

-- Kept, and no table has it open yet.
SELECT name, position, kept, held FROM ombrix_tables;

CREATE VIRTUAL TABLE roads USING editable_VirtualShape('DEMO_DIR/roads', 'UTF-8', 4326);
SELECT step, state, inserted, updated, deleted, label FROM ombrix_steps('roads');
SELECT ombrix_redo('roads', 2) AS redo;
SELECT id, name, kind FROM roads WHERE name LIKE 'Quarry%' OR id = 321 ORDER BY id;
SELECT change, count(*) AS rows FROM ombrix_changes('roads') GROUP BY change;

-- No longer kept: the log ends with this run.
SELECT ombrix_keep('roads', 0) AS kept;
