-- Makes the shapefile DEMO_DIR/roads.shp with spatialite: the sample roads' id, name and kind
-- with their lines. Run from the repository root with SPATIALITE_SECURITY=relaxed (for ExportSHP).
SELECT load_extension('mod_spatialite');
SELECT InitSpatialMetadata(1);
CREATE VIRTUAL TABLE road_attributes
  USING VirtualText('examples/data/roads.csv', 'UTF-8', 1, POINT, DOUBLEQUOTE, ',');
CREATE VIRTUAL TABLE road_lines
  USING VirtualText('examples/data/road_lines.csv', 'UTF-8', 1, POINT, DOUBLEQUOTE, ',');
CREATE TABLE roads (id INTEGER PRIMARY KEY, name TEXT, kind TEXT);
SELECT AddGeometryColumn('roads', 'geom', 4326, 'LINESTRING', 'XY');
INSERT INTO roads (id, name, kind, geom)
  SELECT a.id, a.name, a.kind, GeomFromText(l.wkt, 4326)
    FROM road_attributes AS a JOIN road_lines AS l ON l.id = a.id;
SELECT ExportSHP('roads', 'geom', 'DEMO_DIR/roads', 'UTF-8');
