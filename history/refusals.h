// The refusals of change logs that cannot be taken up, or held on, over
// files that changed; and how files differ from their stamps.
#pragma once

#include "common/error_pair.h"
#include "common/inner_files.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// Another process owns the log of name (SQLITE_BUSY).
ErrorPair busyElsewhere(const QString& name);
// The first way in which the files now differ from those stamped, or none;
// both lists in stampBefore order.
std::optional<QString> firstDifference(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now);
// The log of name, what (a "change log" or a "kept change log"), cannot be
// taken up over files that differ (SQLITE_ERROR); after says what became of it.
ErrorPair filesChanged(const QString& name, const QString& difference, const QString& what, const QString& after);
// A statement on a table whose files differ from those its log began over.
ErrorPair filesChangedUnder(const QString& name, const QString& difference, const QString& after);
// The first write of a table whose files differ from those it opened.
ErrorPair filesChangedSinceOpen(const QString& name, const QString& difference);
