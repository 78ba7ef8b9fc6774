// Row snapshots (a row's column values as variants) as they are stored in the
// history database: what QDataStream version 16 writes for a QList<QVariant>.
#pragma once

#include <QByteArray>
#include <QList>
#include <QVariant>

QByteArray rowToBlob(const QList<QVariant>& row);

// Decodes bytes; anything that is not a complete snapshot of scalar values
// gives an empty list. Never throws, never allocates beyond what bytes can hold.
QList<QVariant> rowFromBytes(const QByteArray& bytes);
