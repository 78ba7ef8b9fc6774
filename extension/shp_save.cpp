// The rules of a VirtualShape save: the .dbf as a VirtualDbf save writes it,
// the .shp records no edit touched copied, the others made by shapelib.
#include "extension/shp_save.h"

#include "common/file_set_journal.h"
#include "extension/dbf_save.h"
#include "extension/save_failure.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

SQLITE_EXTENSION_INIT3

namespace {

constexpr const char* shapeModule = "VirtualShape";
// The files of a set: those a save writes, then those it copies when present.
const char* const writtenExtensions[] = {".shp", ".shx", ".dbf"};
const char* const copiedExtensions[] = {".prj", ".cpg"};

std::uint32_t bigEndianAt(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void appendBigEndian(std::string& bytes, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xff);
}

template <typename T>
T littleEndianAt(std::string_view bytes, std::size_t at)
{
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

void putLittleEndian(std::string& bytes, std::size_t at, double value)
{
    std::memcpy(&bytes[at], &value, sizeof value);
}

struct ShapeCloser {
    void operator()(SHPInfo* shp) const { SHPClose(shp); }
};
struct ObjectDestroyer {
    void operator()(SHPObject* object) const { SHPDestroyObject(object); }
};
using Shape = std::unique_ptr<SHPObject, ObjectDestroyer>;

const char* wkbName(std::uint32_t type)
{
    static const char* const names[] = {"GEOMETRY",   "POINT",           "LINESTRING",   "POLYGON",
                                        "MULTIPOINT", "MULTILINESTRING", "MULTIPOLYGON", "GEOMETRYCOLLECTION"};
    return type < 8 ? names[type] : "geometry of an unknown kind";
}

// The parts and vertices of an ISO WKB geometry, with its Z and M values.
class WkbReader {
public:
    explicit WkbReader(std::string_view wkb) : wkb(wkb) {}

    // The geometry's type (1..7); false when the bytes are not WKB.
    bool read(std::uint32_t& type) { return geometry(type, 0) && at == wkb.size(); }

    // 0 for XY, 1 XYZ, 2 XYM, 3 XYZM.
    std::uint32_t dimensions = 0;
    std::vector<int> starts;
    std::vector<double> x, y, z, m;

private:
    bool geometry(std::uint32_t& type, int depth)
    {
        if (depth > 2 || !take(1))
            return false;
        little = wkb[at - 1] == 1;
        if (!number(type) || type >= 4000 || (depth > 0 && type / 1000 != dimensions))
            return false;
        dimensions = type / 1000;
        type %= 1000;
        std::uint32_t count = 1;
        if (type == 1)
            return points(1);
        if (type == 2) {
            starts.push_back(static_cast<int>(x.size()));
            return number(count) && points(count);
        }
        if (!number(count))
            return false;
        for (std::uint32_t part = 0; part < count; ++part) {
            std::uint32_t inner = 0;
            if (type == 3) {
                std::uint32_t vertices = 0;
                starts.push_back(static_cast<int>(x.size()));
                if (!number(vertices) || !points(vertices))
                    return false;
            } else if (type < 4 || type > 6 || !geometry(inner, depth + 1) || inner != type - 3) {
                return false;
            }
        }
        return true;
    }

    bool take(std::size_t bytes)
    {
        if (wkb.size() - at < bytes)
            return false;
        at += bytes;
        return true;
    }

    template <typename T>
    bool numberOf(T& value)
    {
        if (!take(sizeof value))
            return false;
        char bytes[sizeof value];
        std::memcpy(bytes, wkb.data() + at - sizeof value, sizeof value);
        if (!little)
            std::reverse(bytes, bytes + sizeof value);
        std::memcpy(&value, bytes, sizeof value);
        return true;
    }
    bool number(std::uint32_t& value) { return numberOf(value); }

    bool points(std::uint32_t count)
    {
        const bool hasZ = dimensions & 1, hasM = dimensions >= 2;
        if (count > (wkb.size() - at) / (16 + 8 * (hasZ + hasM)))
            return false;
        for (std::uint32_t point = 0; point < count; ++point) {
            double value[4] = {};
            for (std::uint32_t axis = 0; axis < 2u + hasZ + hasM; ++axis)
                numberOf(value[axis]);
            x.push_back(value[0]);
            y.push_back(value[1]);
            z.push_back(hasZ ? value[2] : 0);
            m.push_back(hasM ? value[2 + hasZ] : 0);
        }
        return true;
    }

    std::string_view wkb;
    std::size_t at = 0;
    bool little = true;
};

struct Bounds {
    double minX = std::numeric_limits<double>::infinity(), minY = minX, maxX = -minX, maxY = -minX;
    double minZ = minX, maxZ = -minX, minM = minX, maxM = -minX;

    void add(double x0, double y0, double x1, double y1)
    {
        minX = std::fmin(minX, x0), minY = std::fmin(minY, y0), maxX = std::fmax(maxX, x1), maxY = std::fmax(maxY, y1);
    }
    // A record's content: a point its place, others their box.
    void add(std::string_view content)
    {
        const auto type = content.size() >= 4 ? littleEndianAt<std::int32_t>(content, 0) : 0;
        if (type % 10 == SHPT_POINT && content.size() >= 20)
            add(littleEndianAt<double>(content, 4), littleEndianAt<double>(content, 12),
                littleEndianAt<double>(content, 4), littleEndianAt<double>(content, 12));
        else if (type != SHPT_NULL && content.size() >= 36)
            add(littleEndianAt<double>(content, 4), littleEndianAt<double>(content, 12),
                littleEndianAt<double>(content, 20), littleEndianAt<double>(content, 28));
    }
};

void writeSynced(const std::string& path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool done = fd >= 0;
    for (std::size_t at = 0; done && at < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.data() + at, bytes.size() - at);
        done = wrote > 0 || (wrote < 0 && errno == EINTR);
        at += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    done = done && ::fsync(fd) == 0;
    const int saved = errno;
    if (fd >= 0 && ::close(fd) != 0 && done)
        done = false;
    else
        errno = saved;
    if (!done)
        throw Failure{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN,
                      "cannot write " + path + ": " + std::strerror(errno)};
}

std::string stemOfTarget(const char* path)
{
    std::string stem = path;
    if (stem.size() > 4 && sqlite3_stricmp(stem.c_str() + stem.size() - 4, ".shp") == 0)
        stem.resize(stem.size() - 4);
    // Absolute, for a journal that a process in another folder may finish.
    if (stem.front() != '/') {
        char* folder = ::getcwd(nullptr, 0);
        if (!folder)
            throw Failure{SQLITE_CANTOPEN, "cannot tell the current folder: " + std::string(std::strerror(errno))};
        stem = std::string(folder) + "/" + stem;
        std::free(folder);
    }
    return stem;
}

void finishSet(const std::string& stem)
{
    std::string error;
    if (!finishFileSet(stem, error))
        throw Failure{SQLITE_IOERR, error};
}

class ShpSave : public DbfSave {
public:
    ShpSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named)
        : DbfSave(history, db, table, named, shapeModule, 3)
    {
    }
    ~ShpSave() override
    {
        for (const std::string& file : made)
            ::unlink(file.c_str());
        if (reserved)
            ::unlink(temporary.c_str());
        sqlite3_finalize(toWkb);
    }

    sqlite3_int64 save(const char* path)
    {
        finishSet(own);
        const std::string targetStem = path ? stemOfTarget(path) : own;
        const bool ownFiles = checkTarget(path ? targetStem.c_str() : nullptr);
        if (!ownFiles)
            finishSet(targetStem);
        const std::string shp = readWholeFile(own + ".shp"), shx = readWholeFile(own + ".shx"),
                          dbf = readWholeFile(own + ".dbf");
        const DbfHeader header = dbfHeaderOf(dbf, own + ".dbf");
        if (shp.size() < 100 || shx.size() < 100 || (shx.size() - 100) % 8 ||
            static_cast<sqlite3_int64>((shx.size() - 100) / 8) != header.records)
            throw Failure{SQLITE_CORRUPT, "cannot save " + named.name + ": " + own +
                                              ".shx does not index as many records as its .dbf holds"};
        type = littleEndianAt<std::int32_t>(shp, 32);
        if (type / 10 > 2 || (type % 10 != SHPT_POINT && type % 10 != SHPT_ARC && type % 10 != SHPT_POLYGON &&
                              type % 10 != SHPT_MULTIPOINT))
            throw Failure{SQLITE_ERROR, "cannot save " + named.name + ": its shapes are " + SHPTypeName(type) +
                                            ", and only points, multipoints, lines and polygons are saved"};
        reserveTemporary(ownFiles ? own : targetStem);
        SavedTable planned;
        static_cast<NamedTable&>(planned) = named;
        planned.log = logOf(&table);
        const SavePlan plan = planSave(db, planned, header.records);
        if (plan.unchanged()) {
            if (ownFiles) {
                endHistory(false, nullptr);
                return header.records;
            }
            writeSet(shp, shx, dbf);
            replaceSet(targetStem);
            return header.records;
        }
        const std::string savedDbf = compose(planned, plan, own + ".dbf", dbf, header);
        shapes.reset();
        const bool madeShapes = !scratchStem.empty();
        const std::string newShp = madeShapes ? readWholeFile(scratchStem + ".shp") : std::string(),
                          newShx = madeShapes ? readWholeFile(scratchStem + ".shx") : std::string();
        std::string savedShp = shp.substr(0, 100), savedShx = shx.substr(0, 100);
        Bounds bounds;
        for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
            const auto [fromFile, record] = pieces[piece];
            const std::string_view from = fromFile ? shp : newShp, index = fromFile ? shx : newShx;
            const std::size_t offset = std::size_t{bigEndianAt(index, 100 + 8 * record)} * 2;
            const std::uint32_t words = bigEndianAt(index, 104 + 8 * record);
            if (offset + 8 + std::size_t{words} * 2 > from.size())
                throw Failure{SQLITE_CORRUPT, "cannot save " + named.name + ": record " + std::to_string(record + 1) +
                                                  " of " + own + ".shp lies past its end"};
            const std::string_view content = from.substr(offset + 8, std::size_t{words} * 2);
            appendBigEndian(savedShx, static_cast<std::uint32_t>(savedShp.size() / 2));
            appendBigEndian(savedShx, words);
            appendBigEndian(savedShp, static_cast<std::uint32_t>(piece + 1));
            appendBigEndian(savedShp, words);
            savedShp += content;
            bounds.add(content);
        }
        if (type / 10)
            addHeights(bounds);
        for (std::string* file : {&savedShp, &savedShx}) {
            const std::uint32_t words = static_cast<std::uint32_t>(file->size() / 2);
            for (int at = 0; at < 4; ++at)
                (*file)[static_cast<std::size_t>(24 + at)] = static_cast<char>((words >> (24 - 8 * at)) & 0xff);
            const bool any = bounds.minX <= bounds.maxX;
            putLittleEndian(*file, 36, any ? bounds.minX : 0);
            putLittleEndian(*file, 44, any ? bounds.minY : 0);
            putLittleEndian(*file, 52, any ? bounds.maxX : 0);
            putLittleEndian(*file, 60, any ? bounds.maxY : 0);
            if (type / 10) {
                putLittleEndian(*file, 68, any ? bounds.minZ : 0);
                putLittleEndian(*file, 76, any ? bounds.maxZ : 0);
                putLittleEndian(*file, 84, any ? bounds.minM : 0);
                putLittleEndian(*file, 92, any ? bounds.maxM : 0);
            }
        }
        writeSet(savedShp, savedShx, savedDbf);
        const sqlite3_int64 rows = readBack(temporary);
        if (!ownFiles) {
            replaceSet(targetStem);
            return rows;
        }
        std::string before, after;
        openInnerOver(table, own, shapeModule, before);
        InnerTable reading = openInnerOver(table, temporary, shapeModule, after);
        if (before != after)
            throw Failure{SQLITE_MISMATCH,
                          "cannot save " + named.name + ": VirtualShape would read other columns from the saved files"};
        refuseReading();
        endHistory(true, std::move(reading));
        return rows;
    }

private:
    void replaceWritten() override { replaceSet(own); }

    // The Z and M ranges of the shapes written, as shapelib reads them.
    void addHeights(Bounds& bounds)
    {
        const std::unique_ptr<SHPInfo, ShapeCloser> old(SHPOpen(own.c_str(), "rb")),
            made(scratchStem.empty() ? nullptr : SHPOpen(scratchStem.c_str(), "rb"));
        for (const auto& [fromFile, record] : pieces) {
            SHPInfo* from = fromFile ? old.get() : made.get();
            const Shape shape(from ? SHPReadObject(from, static_cast<int>(record)) : nullptr);
            if (!shape)
                throw Failure{SQLITE_CORRUPT, "shapelib cannot read the shape of record " + std::to_string(record + 1) +
                                                  (fromFile ? " of " + own + ".shp" : std::string(" it made"))};
            if (shape->nSHPType == SHPT_NULL)
                continue;
            bounds.minZ = std::fmin(bounds.minZ, shape->dfZMin), bounds.maxZ = std::fmax(bounds.maxZ, shape->dfZMax);
            bounds.minM = std::fmin(bounds.minM, shape->dfMMin), bounds.maxM = std::fmax(bounds.maxM, shape->dfMMax);
        }
    }

    // An empty file beside the target whose name the written files share.
    void reserveTemporary(const std::string& target)
    {
        const std::size_t slash = target.rfind('/');
        const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
        std::string name = target.substr(0, at) + "." + target.substr(at) + ".saving-XXXXXX";
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            throw Failure{SQLITE_CANTOPEN, "cannot write beside " + target + ": " + std::strerror(errno)};
        ::close(fd);
        temporary = name;
        reserved = true;
    }

    void writeSet(std::string_view shp, std::string_view shx, std::string_view dbf)
    {
        const std::string_view bytes[] = {shp, shx, dbf};
        for (int file = 0; file < 3; ++file) {
            made.push_back(temporary + writtenExtensions[file]);
            writeSynced(made.back(), bytes[file]);
        }
        for (const char* extension : copiedExtensions)
            if (QFile::exists(QFile::decodeName((own + extension).c_str()))) {
                made.push_back(temporary + extension);
                writeSynced(made.back(), readWholeFile(own + extension));
            }
        // The files now hold the name the empty one kept for them.
        ::unlink(temporary.c_str());
        reserved = false;
    }

    void replaceSet(const std::string& target)
    {
        std::vector<std::pair<std::string, std::string>> renames;
        for (const std::string& file : made)
            renames.emplace_back(file, target + file.substr(temporary.size()));
        std::string failure;
        const bool done = replaceFileSet(target, renames, failure);
        // Once journaled, the files are the journal's to finish.
        if (done || QFile::exists(QFile::decodeName(fileSetJournal(target).c_str())))
            made.clear();
        if (!done)
            throw Failure{SQLITE_IOERR, failure};
    }

    void onRow(sqlite3_stmt* row, bool fromFile, sqlite3_int64 record) override
    {
        if (!fromFile) {
            if (!shapes) {
                if (!scratch.isValid())
                    throw Failure{SQLITE_CANTOPEN,
                                  "cannot make a temporary folder: " + scratch.errorString().toStdString()};
                scratchStem = QFile::encodeName(scratch.filePath(QStringLiteral("shapes"))).toStdString();
                shapes.reset(SHPCreate(scratchStem.c_str(), type));
                if (!shapes)
                    throw Failure{SQLITE_CANTOPEN, "shapelib cannot write " + scratchStem + ".shp"};
            }
            const Shape shape = shapeOf(row);
            if (SHPWriteObject(shapes.get(), -1, shape.get()) != record)
                throw Failure{SQLITE_IOERR,
                              "shapelib cannot write the shape of row " + std::to_string(sqlite3_column_int64(row, 0))};
        }
        pieces.emplace_back(fromFile, record);
    }

    // The shape of the row's geometry in the file's type; refuses another type.
    Shape shapeOf(sqlite3_stmt* row)
    {
        sqlite3_value* geometry = sqlite3_column_value(row, 2);
        if (sqlite3_value_type(geometry) == SQLITE_NULL)
            return Shape(SHPCreateObject(SHPT_NULL, -1, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
        if (!toWkb && sqlite3_prepare_v2(db, "SELECT AsBinary(?1)", -1, &toWkb, nullptr))
            throw Failure{sqlite3_errcode(db),
                          std::string("spatialite cannot read geometries here: ") + sqlite3_errmsg(db)};
        sqlite3_reset(toWkb);
        sqlite3_bind_value(toWkb, 1, geometry);
        const int rc = sqlite3_step(toWkb);
        if (rc != SQLITE_ROW)
            throw Failure{rc, std::string("spatialite cannot read a geometry: ") + sqlite3_errmsg(db)};
        const std::string_view wkb(static_cast<const char*>(sqlite3_column_blob(toWkb, 0)),
                                   static_cast<std::size_t>(sqlite3_column_bytes(toWkb, 0)));
        WkbReader reader(wkb);
        std::uint32_t kind = 0;
        if (wkb.empty() || !reader.read(kind))
            refuse(row, 2, "a value that is no geometry spatialite reads");
        static const char* const coordinates[] = {"XY", "XYZ", "XYM", "XYZM"};
        const bool fileZ = type / 10 == 1, fileM = type / 10 == 2, hasZ = reader.dimensions & 1,
                   hasM = reader.dimensions >= 2;
        if (hasZ != fileZ || (hasM && !fileZ && !fileM) || (fileM && !hasM))
            refuse(row, 2,
                   std::string("a geometry of coordinates ") + coordinates[reader.dimensions] + ", where " +
                       SHPTypeName(type) + " shapes hold " +
                       (fileZ   ? "X, Y and Z (M too, or not)"
                        : fileM ? "X, Y and M"
                                : "X and Y alone"));
        const int base = type % 10;
        const bool fits = base == SHPT_POINT        ? kind == 1
                          : base == SHPT_MULTIPOINT ? kind == 1 || kind == 4
                          : base == SHPT_ARC        ? kind == 2 || kind == 5
                                                    : kind == 3 || kind == 6;
        if (!fits)
            refuse(row, 2,
                   std::string("a ") + wkbName(kind) + ", which a shapefile of " + SHPTypeName(type) +
                       " shapes cannot hold");
        const bool parted = base == SHPT_ARC || base == SHPT_POLYGON;
        Shape shape(SHPCreateObject(type, -1, parted ? static_cast<int>(reader.starts.size()) : 0,
                                    parted ? reader.starts.data() : nullptr, nullptr, static_cast<int>(reader.x.size()),
                                    reader.x.data(), reader.y.data(), hasZ ? reader.z.data() : nullptr,
                                    hasM ? reader.m.data() : nullptr));
        if (!shape)
            throw std::bad_alloc();
        if (base == SHPT_POLYGON)
            SHPRewindObject(nullptr, shape.get());
        return shape;
    }

    int type = SHPT_NULL;
    std::string temporary, scratchStem;
    bool reserved = false;
    std::vector<std::string> made;
    std::unique_ptr<SHPInfo, ShapeCloser> shapes;
    std::vector<std::pair<bool, sqlite3_int64>> pieces;
    sqlite3_stmt* toWkb = nullptr;
};

} // namespace

void saveShapeTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function, const HistoryLink& link)
{
    runFileSave(ctx, argc, argv, function, link, shapeModule,
                [](History& history, sqlite3* db, OverlayTable& table, const NamedTable& named, const char* path) {
                    return ShpSave(history, db, table, named).save(path);
                });
}

bool isShapeModule(const std::string& name, const sqlite3_module* innerModule)
{
    return sqlite3_stricmp(name.c_str(), shapeModule) == 0 && innerModule->xOpen && innerModule->xFilter;
}
