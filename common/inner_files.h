// Which files an overlay table's file path names: one canonical spelling of
// the path, and the sizes and modification times that tell whether they changed.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// One file as it stood: its canonical path (the bytes the file system knows it
// by, whatever their encoding), size and modification time in nanoseconds
// since the epoch.
struct FileStamp {
    QByteArray path;
    qint64 size;
    qint64 modified;

    bool operator==(const FileStamp& other) const
    {
        return path == other.path && size == other.size && modified == other.modified;
    }
};

// The one order of file lists: paths by their bytes, as SQLite's BINARY
// collation orders them.
bool stampBefore(const FileStamp& a, const FileStamp& b);

// The canonical absolute path of the file or folder that typed names (links
// and "." or ".." resolved against the working folder now), or of the stem
// that sidecar files share when typed names no file itself ("roads" beside
// roads.shp); otherwise typed unchanged, as a name that reads as no file.
// Paths are bytes: nothing is decoded.
QByteArray canonicalFilePath(const QByteArray& typed);

// The regular files that path (canonical) names, in stampBefore order. A path
// that names a file: that file and the sidecars its format is known to have
// (roads.shp with roads.shx, .dbf, .prj, .cpg, .qix, .sbn, .sbx). A path that
// names a stem: the files that share it (roads.shp, roads.dbf, ...) but no
// SQLite database or journal, by header or by extension, and at most a bounded
// number. Empty for a path that names no file.
std::vector<FileStamp> stampFiles(const QByteArray& path);
// Whether each file stamped still has that size and modification time: a
// stat() a file, nothing listed, so a file new beside them goes unseen
// (stampFiles lists them).
bool stillAsStamped(const std::vector<FileStamp>& stamps);
