#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// Finding a user's entry by nickname. Letter case is compared by Turkish rules (i/İ, ı/I).
namespace NameSearch {

// The form in which two nicknames that name the same user are equal: letter case folded,
// trailing blanks and line breaks gone.
QString key(QStringView nickname);

// The first entry equal to nickname, ignoring letter case and trailing blanks and line
// breaks on either side; -1 when none is.
int findEqual(const QList<QString> &entries, QStringView nickname);

// The entry the leave search selects: the first equal entry as above; else the first entry
// that begins with text, ignoring letter case; -1 when none does or text is empty.
int find(const QList<QString> &entries, QStringView text);

} // namespace NameSearch
