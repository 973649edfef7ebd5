#include "fonts.h"

#include <QStringList>

namespace Fonts {

void installSubstitutes()
{
    static const bool done = [] {
        const QStringList sans = {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
        QFont::insertSubstitutions(QStringLiteral("Tahoma"), sans);
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
        return true;
    }();
    Q_UNUSED(done);
}

static QFont make(const QString &family, qreal pointSize, bool bold, bool italic)
{
    installSubstitutes();
    QFont font(family);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

QFont tahoma(qreal pointSize, bool bold, bool italic)
{
    return make(QStringLiteral("Tahoma"), pointSize, bold, italic);
}

QFont msSansSerif(qreal pointSize, bool bold)
{
    return make(QStringLiteral("MS Sans Serif"), pointSize, bold, false);
}

} // namespace Fonts
