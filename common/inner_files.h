// Which files an overlay table's file path names: one canonical spelling of
// the path, and the sizes and modification times that tell whether they changed.
#pragma once

#include <QString>

#include <vector>

// One file as it stood: its canonical path, size and modification time in
// nanoseconds since the epoch.
struct FileStamp {
    QString path;
    qint64 size;
    qint64 modified;

    bool operator==(const FileStamp& other) const
    {
        return path == other.path && size == other.size && modified == other.modified;
    }
};

// The canonical absolute path of the file or folder that typed names (links
// and "." or ".." resolved against the working folder now), or of the stem
// that sidecar files share when typed names no file itself ("roads" beside
// roads.shp); otherwise typed unchanged, as a name that reads as no file.
QString canonicalFilePath(const QString& typed);

// The regular files that path (canonical) names, sorted: the file itself and
// the files beside it that share its stem (roads.shp, roads.dbf, roads.shx),
// but no SQLite database or its journals, which change as they are used. At
// most a bounded number of sidecars. Empty for a path that names no file.
std::vector<FileStamp> stampFiles(const QString& path);
