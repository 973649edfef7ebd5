#include "namesearch.h"

#include "turkishcase.h"

namespace {

QStringView withoutTrailingBlanks(QStringView s)
{
    qsizetype n = s.size();
    while (n > 0) {
        const QChar c = s[n - 1];
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
            break;
        --n;
    }
    return s.first(n);
}

// A form in which two texts that differ only in letter case are equal.
QString folded(QStringView s)
{
    return turkishUpper(s);
}

} // namespace

namespace NameSearch {

QString key(QStringView nickname)
{
    return folded(withoutTrailingBlanks(nickname));
}

int findEqual(const QList<QString> &entries, QStringView nickname)
{
    const QString wanted = key(nickname);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (key(entries.at(i)) == wanted)
            return int(i);
    }
    return -1;
}

int find(const QList<QString> &entries, QStringView text)
{
    if (text.isEmpty())
        return -1;
    const int equal = findEqual(entries, text);
    if (equal >= 0)
        return equal;
    const QString prefix = folded(text);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (folded(entries.at(i)).startsWith(prefix))
            return int(i);
    }
    return -1;
}

} // namespace NameSearch
