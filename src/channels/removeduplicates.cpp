#include "removeduplicates.h"

#include <QSet>

qsizetype RemoveDuplicates(QList<QString> &entries, int *trackedRow)
{
    QSet<QStringView> seen;
    seen.reserve(entries.size());
    // First find the first later copy; a list without duplicates is left untouched.
    qsizetype first = 0;
    for (; first < entries.size(); ++first) {
        if (seen.contains(entries.at(first)))
            break;
        seen.insert(entries.at(first));
    }
    if (first == entries.size())
        return 0;

    // Views into entries stay valid: surviving strings only move forward, and the views point
    // into the shared string data, which moving does not touch.
    qsizetype out = first;
    int tracked = trackedRow ? *trackedRow : -1;
    int newTracked = tracked < first ? tracked : -1;
    for (qsizetype i = first + 1; i < entries.size(); ++i) {
        if (seen.contains(entries.at(i)))
            continue;
        seen.insert(entries.at(i));
        if (i == tracked)
            newTracked = int(out);
        entries[out] = std::move(entries[i]);
        ++out;
    }
    const qsizetype removed = entries.size() - out;
    entries.resize(out);
    if (trackedRow)
        *trackedRow = newTracked;
    return removed;
}
