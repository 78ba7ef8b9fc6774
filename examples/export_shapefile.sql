-- Writes the edited roads (an editable_VirtualShape table `roads`) to the shapefile
-- roads_edited.shp that spatialite's own reader takes: a native copy without the
-- shapefile's row number PKUID, its geometry column registered, then ExportSHP, which
-- needs SPATIALITE_SECURITY=relaxed and writes the .prj from spatialite's metadata.
-- Never export over the files an open table reads: its next statement is refused.
SELECT InitSpatialMetadata(1) WHERE NOT EXISTS (SELECT 1 FROM sqlite_master WHERE name = 'spatial_ref_sys');
DROP TABLE IF EXISTS roads_out;
CREATE TABLE roads_out AS SELECT id, name, kind, Geometry FROM roads;
SELECT RecoverGeometryColumn('roads_out', 'Geometry', 4326, 'LINESTRING', 'XY');
SELECT ExportSHP('roads_out', 'Geometry', 'roads_edited', 'UTF-8');
-- The same rows as GeoJSON.
SELECT ExportGeoJSON2('roads_out', 'Geometry', 'roads_edited.geojson');
