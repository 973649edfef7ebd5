#pragma once

#include <QList>
#include <QString>

// The plain pairwise pass: every entry against every later one, removing equal later entries
// in place. The reference the linear clean-up is measured and checked against.
inline void removeDuplicatesPairwise(QList<QString> &entries)
{
    for (qsizetype i = 0; i < entries.size(); ++i) {
        qsizetype j = i + 1;
        while (j < entries.size()) {
            if (entries.at(i) == entries.at(j))
                entries.removeAt(j);
            else
                ++j;
        }
    }
}
