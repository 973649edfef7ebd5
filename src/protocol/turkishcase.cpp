#include "turkishcase.h"

QString turkishUpper(QStringView text)
{
    // Qt's case mapping replaces unpaired surrogates only in part of a string, so it is
    // applied to the runs between them and they are copied through as they are.
    QString out;
    out.reserve(text.size());
    qsizetype runStart = 0;
    const auto upperRun = [&](qsizetype end) {
        if (end <= runStart)
            return;
        QString run = text.sliced(runStart, end - runStart).toString();
        run.replace(QChar(u'i'), QChar(u'\u0130'));
        out += run.toUpper();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            upperRun(i);
            out += c;
            runStart = i + 1;
        }
    }
    upperRun(text.size());
    return out;
}
