#include "serverlog.h"

#include "protocol/cp1254.h"

Q_LOGGING_CATEGORY(lcServer, "vornel.server")

QString printableNickname(QByteArrayView nickname)
{
    const QString text = Cp1254::decode(nickname);
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == u'"' || u == u'\\')
            out += u"\\x" % QString::number(u, 16).rightJustified(2, u'0');
        else
            out += c;
    }
    out += u'"';
    return out;
}

void setUpServerLog()
{
    if (qEnvironmentVariableIsSet("JOURNAL_STREAM"))
        qSetMessagePattern(QStringLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}"
                                          "%{if-warning}<4>%{endif}%{if-critical}<3>%{endif}"
                                          "%{if-fatal}<2>%{endif}%{message}"));
    else
        qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} "
                                          "%{if-warning}warning: %{endif}"
                                          "%{if-critical}error: %{endif}"
                                          "%{if-fatal}fatal: %{endif}%{message}"));
}
