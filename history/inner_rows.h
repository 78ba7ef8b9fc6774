// What the history views need of an overlay table: the rows of its inner
// table. The overlay gives it with each table it opens; the views ask it.
#pragma once

#include <QList>
#include <QVariant>

#include <optional>

class InnerRows {
public:
    // The inner row of rowid as the inner module shows it, read through the
    // table's connection: on its thread, while the table is open. Its values
    // in column order, hidden columns too; none when the inner table has no
    // such row or cannot look one up without the arguments of a table-valued
    // module. Throws ErrorPair.
    virtual std::optional<QList<QVariant>> innerRow(qint64 rowid) const = 0;

protected:
    ~InnerRows() = default;
};
