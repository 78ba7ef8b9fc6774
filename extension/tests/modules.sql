-- Modules of Debian's csvtable, zipfile and spatialite made editable by quillmere_load: a read,
-- an UPDATE, an INSERT, a DELETE, commit, undo, redo. Run where run_modules_test.sh put the files.
SELECT quillmere_load('./probe');
SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/libsqlite3_mod_csvtable.so');
SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/libsqlite3_mod_zipfile.so');
SELECT instr(names, 'editable_VirtualText,') > 0, instr(names, 'editable_VirtualShape,') > 0
  FROM (SELECT quillmere_load('/usr/lib/x86_64-linux-gnu/mod_spatialite.so') || ',' AS names);

CREATE VIRTUAL TABLE csv USING editable_csvtable('t.csv', 1, 0, ',');
CREATE VIEW csv_rows AS SELECT group_concat(rowid || ':' || id || ':' || name, ' ') FROM csv;
SELECT * FROM csv_rows;
UPDATE csv SET name = 'BETA' WHERE id = '2';
INSERT INTO csv (id, name) VALUES ('4', 'delta');
DELETE FROM csv WHERE id = '1';
SELECT coalesce(ombrix_commit('csv'), 'committed'), (SELECT * FROM csv_rows);
SELECT coalesce(ombrix_undo('csv'), 'undone'), (SELECT * FROM csv_rows);
SELECT coalesce(ombrix_redo('csv'), 'redone'), (SELECT * FROM csv_rows);

CREATE VIRTUAL TABLE zip USING editable_zipfile('t.zip');
CREATE VIEW zip_rows AS SELECT group_concat(rowid || ':' || path || ':' || length || ':' || data, ' ') FROM zip;
SELECT * FROM zip_rows;
UPDATE zip SET data = 'BETA', length = 4 WHERE path = 'beta.txt';
INSERT INTO zip (path, length, data) VALUES ('delta.txt', 5, 'delta');
DELETE FROM zip WHERE path = 'alpha.txt';
SELECT coalesce(ombrix_commit('zip'), 'committed'), (SELECT * FROM zip_rows);
SELECT coalesce(ombrix_undo('zip'), 'undone'), (SELECT * FROM zip_rows);
SELECT coalesce(ombrix_redo('zip'), 'redone'), (SELECT * FROM zip_rows);

CREATE VIRTUAL TABLE txt USING editable_VirtualText('t.txt', 'UTF-8', 1, POINT, DOUBLEQUOTE, ',');
CREATE VIEW txt_rows AS SELECT group_concat(rowid || ':' || id || ':' || name, ' ') FROM txt;
SELECT * FROM txt_rows;
UPDATE txt SET name = 'BETA' WHERE id = 2;
INSERT INTO txt (id, name) VALUES (4, 'delta');
DELETE FROM txt WHERE id = 1;
SELECT coalesce(ombrix_commit('txt'), 'committed'), (SELECT * FROM txt_rows);
SELECT coalesce(ombrix_undo('txt'), 'undone'), (SELECT * FROM txt_rows);
SELECT coalesce(ombrix_redo('txt'), 'redone'), (SELECT * FROM txt_rows);

CREATE VIRTUAL TABLE shp USING editable_VirtualShape('roads', 'UTF-8', 4326);
CREATE VIEW shp_rows AS SELECT group_concat(rowid || ':' || name || ':' || AsText(Geometry), ' ') FROM shp;
SELECT * FROM shp_rows;
UPDATE shp SET name = 'Kiln Road North' WHERE name = 'Kiln Road';
INSERT INTO shp (id, name, Geometry) VALUES (4, 'New Road', GeomFromText('LINESTRING(3 2, 4 4)', 4326));
DELETE FROM shp WHERE name = 'Mill Lane';
SELECT coalesce(ombrix_commit('shp'), 'committed'), (SELECT * FROM shp_rows);
SELECT coalesce(ombrix_undo('shp'), 'undone'), (SELECT * FROM shp_rows);
SELECT coalesce(ombrix_redo('shp'), 'redone'), (SELECT * FROM shp_rows);

CREATE VIRTUAL TABLE dbf USING editable_VirtualDbf('roads.dbf', 'UTF-8');
CREATE VIEW dbf_rows AS SELECT group_concat(rowid || ':' || id || ':' || name, ' ') FROM dbf;
SELECT * FROM dbf_rows;
UPDATE dbf SET name = 'Kiln Road North' WHERE id = 2;
INSERT INTO dbf (id, name) VALUES (4, 'New Road');
DELETE FROM dbf WHERE id = 1;
SELECT coalesce(ombrix_commit('dbf'), 'committed'), (SELECT * FROM dbf_rows);
SELECT coalesce(ombrix_undo('dbf'), 'undone'), (SELECT * FROM dbf_rows);
SELECT coalesce(ombrix_redo('dbf'), 'redone'), (SELECT * FROM dbf_rows);

-- Modules that hand out their values as static results, valid only while their cursor is open:
-- a one-pass UPDATE closes it before the overlay records the columns it did not set, and another
-- cursor of the table (the overlay's questions to the inner rows for OR REPLACE) frees them. Their
-- cursors do not start over when SQLite filters one again for each value of an IN list.
SELECT InitFDOSpatialMetadata(), gpkgCreateBaseTables() IS NULL;
CREATE TABLE fdo_roads(id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE gpkg_points(fid INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE bbox_boxes(id INTEGER PRIMARY KEY, name TEXT, x0 REAL, y0 REAL, x1 REAL, y1 REAL);
SELECT AddFDOGeometryColumn('fdo_roads', 'geom', 4326, 1, 2, 'WKT'),
  gpkgAddGeometryColumn('gpkg_points', 'geom', 'POINT', 0, 0, 4326) IS NULL;
INSERT INTO fdo_roads VALUES (1, 'Kiln Road', 'POINT(1 2)'), (3, 'Mill', 'POINT(3 4)'), (4, 'Ford', 'POINT(5 6)'),
  (6, 'Quay', 'POINT(7 8)');
INSERT INTO gpkg_points VALUES (1, 'Kiln Road', gpkgMakePoint(1, 2, 4326)), (2, 'q', gpkgMakePoint(3, 4, 4326)),
  (5, 'Ford', gpkgMakePoint(5, 6, 4326)), (6, 'Quay', gpkgMakePoint(7, 8, 4326));
INSERT INTO bbox_boxes VALUES (1, 'Kiln Road', 1, 2, 3, 4), (2, 'Mill', 2, 3, 4, 5), (4, 'Ford', 3, 4, 5, 6),
  (9, 'Quay', 4, 5, 6, 7), (10, 'Weir', 5, 6, 7, 8);
CREATE VIRTUAL TABLE fdo USING editable_VirtualFDO(fdo_roads);
CREATE VIRTUAL TABLE gpkg USING editable_VirtualGPKG(gpkg_points);
CREATE VIRTUAL TABLE bbox USING editable_VirtualBBox(bbox_boxes, x0, y0, x1, y1, 4326, 0, id, name);
SELECT group_concat(rowid) FROM bbox WHERE rowid IN (1, 4, 9, 10);
UPDATE OR REPLACE fdo SET rowid = 6 WHERE rowid = 3;
UPDATE OR REPLACE gpkg SET rowid = 6 WHERE rowid = 2;
UPDATE OR REPLACE bbox SET rowid = 9 WHERE rowid = 2;
UPDATE fdo SET id = 7 WHERE rowid = 1;
UPDATE gpkg SET fid = 7 WHERE rowid = 1;
UPDATE bbox SET name = 'x' WHERE rowid IN (1, 4, 9, 10);
UPDATE fdo SET name = 'x' WHERE rowid IN (6, 4, 7);
SELECT rowid, id, name, AsText(geom) FROM fdo;
SELECT rowid, fid, name, AsText(geom) FROM gpkg;
SELECT rowid, id, name, AsText(Geometry) FROM bbox;

-- Modules that answer any constraint on the rowid with no row (VirtualShape, VirtualDbf and VirtualText above,
-- VirtualXL and VirtualGeoJSON): the overlay matches rowids itself, for writes by rowid and for old_values.
CREATE VIRTUAL TABLE xl USING editable_VirtualXL('t.xls', 0, 1);
CREATE VIRTUAL TABLE gj USING editable_VirtualGeoJSON('t.geojson');
UPDATE shp SET name = 'Quarry Way East' WHERE rowid = 3;
UPDATE dbf SET name = 'Quarry Way East' WHERE rowid = 3;
UPDATE txt SET name = 'west' WHERE rowid = 2;
UPDATE xl SET name = 'Brill End' WHERE rowid = 2;
UPDATE gj SET name = 'Coln St Aldwyns' WHERE rowid = 2;
DELETE FROM gj WHERE rowid IN (0, 7);
SELECT rowid, name, (SELECT json_extract(old_values, '$[3]') FROM ombrix_changes('shp') WHERE rowid = 3)
  FROM shp WHERE rowid = 3;
SELECT rowid, name, (SELECT json_extract(old_values, '$[2]') FROM ombrix_changes('dbf') WHERE rowid = 3)
  FROM dbf WHERE rowid = 3;
SELECT rowid, name, (SELECT json_extract(old_values, '$[2]') FROM ombrix_changes('txt') WHERE rowid = 2)
  FROM txt WHERE rowid = 2;
SELECT group_concat(rowid || ':' || name || ':' || pop, ' '),
  (SELECT group_concat(original_rowid || ':' || json_extract(old_values, '$[2]')) FROM ombrix_changes('xl')) FROM xl;
SELECT group_concat(rowid || ':' || name || ':' || AsText(geometry), ' '),
  (SELECT group_concat(original_rowid || ':' || change || ':' || json_extract(old_values, '$[3]'))
    FROM ombrix_changes('gj')) FROM gj;

-- A routing network, whose module keeps its latest cursor's state in the table and frees it when any of
-- its cursors closes (SQLite filters one cursor again for each value of an IN list); an MBR cache; XPath.
CREATE TABLE arcs(id INTEGER PRIMARY KEY, node_from INTEGER, node_to INTEGER, name TEXT, cost DOUBLE);
INSERT INTO arcs VALUES (1, 1, 2, 'Mill Lane', 1.0), (2, 2, 3, 'Kiln Road', 1.0), (3, 3, 4, 'Ford', 1.0),
  (4, 1, 4, 'Quay', 5.0);
SELECT CreateRouting('arcs_data', 'arcs_net', 'arcs', 'node_from', 'node_to', NULL, 'cost', 'name', 0, 1);
CREATE VIRTUAL TABLE route USING editable_VirtualRouting(arcs_data);
SELECT group_concat(NodeTo || ':' || Role || ':' || Cost, ' ') FROM route WHERE NodeFrom = 1 AND NodeTo IN (3, 4);
UPDATE route SET Name = 'by Kiln Road' WHERE NodeFrom = 1 AND NodeTo = 3;
SELECT NodeTo, Name, Cost FROM route WHERE NodeFrom = 1 AND NodeTo = 3;
SELECT coalesce(ombrix_undo('route'), 'undone'), (SELECT Name FROM route WHERE NodeFrom = 1 AND NodeTo = 3);
CREATE TABLE spots(id INTEGER PRIMARY KEY, name TEXT, geom BLOB);
INSERT INTO spots VALUES (1, 'Mill', MakePoint(1, 2, 4326)), (2, 'Kiln', MakePoint(3, 4, 4326)),
  (3, 'Ford', MakePoint(5, 6, 4326));
CREATE VIRTUAL TABLE mbr USING editable_MbrCache(spots, geom);
SELECT group_concat(rowid) FROM mbr WHERE mbr = FilterMbrIntersects(2, 3, 6, 7);
UPDATE mbr SET mbr = BuildMbr(0, 0, 1, 1) WHERE rowid = 2;
DELETE FROM mbr WHERE rowid IN (3, 9);
SELECT group_concat(rowid || ':' || coalesce(AsText(mbr), mbr), ' ') FROM mbr;
CREATE TABLE docs(id INTEGER PRIMARY KEY, doc BLOB);
INSERT INTO docs VALUES (1, XB_Create(CAST('<a><b>one</b><b>two</b></a>' AS BLOB))),
  (2, XB_Create(CAST('<a><b>three</b></a>' AS BLOB)));
CREATE VIRTUAL TABLE xpath USING editable_VirtualXPath(docs, doc);
UPDATE xpath SET value = 'THREE' WHERE xpath_expr = '//b/text()' AND pkid = 2;
SELECT group_concat(pkid || ':' || sub || ':' || value, ' ') FROM xpath WHERE xpath_expr IN ('//b/text()', '//c');
