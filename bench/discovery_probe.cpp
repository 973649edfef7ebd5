// One terminal-like process with the server browser, for bench_discovery: prints, as
// key=value, what starting the browser cost the caller's thread and, given a server's name,
// how long after the start it was offered.
//   discovery_probe browser [NAME]   construct and start a ServerBrowser (start_ns, offered_ns)
//   discovery_probe connect          connect to the system bus on this thread (connect_ns)
#include "channels/serverbrowser.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(1);
    QElapsedTimer clock;
    if (mode == QLatin1StringView("connect")) {
        clock.start();
        const bool connected = QDBusConnection::systemBus().isConnected();
        std::printf("connect_ns=%lld connected=%d\n", clock.nsecsElapsed(), int(connected));
        return 0;
    }
    if (mode != QLatin1StringView("browser")) {
        std::fprintf(stderr, "usage: discovery_probe browser [NAME] | connect\n");
        return 2;
    }
    const QString name = args.value(2);
    clock.start();
    ServerBrowser browser;
    browser.start();
    const qint64 startNs = clock.nsecsElapsed();
    qint64 offeredNs = -1;
    if (!name.isEmpty()) {
        QObject::connect(&browser, &ServerBrowser::serversChanged, &app, [&] {
            if (offeredNs < 0 && browser.find(name)) {
                offeredNs = clock.nsecsElapsed();
                QCoreApplication::quit();
            }
        });
        QTimer::singleShot(20000, &app, &QCoreApplication::quit);
        app.exec();
    }
    std::printf("start_ns=%lld offered_ns=%lld\n", startNs, offeredNs);
    return 0;
}
