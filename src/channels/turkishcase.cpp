#include "turkishcase.h"

QString turkishUpper(QStringView text)
{
    QString s = text.toString();
    s.replace(QChar(u'i'), QChar(u'\u0130'));
    return s.toUpper();
}
