#pragma once

#include <QList>
#include <QString>

// Removes every later copy of an entry, comparing whole texts exactly; the first of each
// group of equal entries stays and the order is kept. Runs in linear time.
// trackedRow, when given, follows one entry: it is moved to that entry's new position, or
// set to -1 when the entry itself was a later copy and went. Returns how many went.
qsizetype RemoveDuplicates(QList<QString> &entries, int *trackedRow = nullptr);
