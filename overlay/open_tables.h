// The names of the overlay tables open in this process, so that the history
// functions can tell a table nobody has written to yet from an unknown one.
#pragma once

#include <QString>

void noteOverlayTableOpened(const QString& name);
void noteOverlayTableClosed(const QString& name);
bool isOverlayTableOpen(const QString& name);
