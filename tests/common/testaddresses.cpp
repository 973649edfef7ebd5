#include "testaddresses.h"

#include <QCoreApplication>

namespace TestAddresses {

bool belongsTo(const QString &program, const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!isV4)
        return false;
    for (const Range &r : ranges) {
        if (program == QLatin1StringView(r.program.data(), qsizetype(r.program.size())) &&
            v4 >= r.first && v4 <= r.last)
            return true;
    }
    return false;
}

void check(const QHostAddress &address)
{
    const QString program = QCoreApplication::applicationName();
    if (!belongsTo(program, address))
        qFatal("%s is not among the test addresses of %s (tests/common/testaddresses.h)",
               qPrintable(address.toString()), qPrintable(program));
}

} // namespace TestAddresses
