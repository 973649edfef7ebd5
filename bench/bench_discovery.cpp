// Finding servers on the LAN, in the discovery lab (tests/discovery/run-discovery, which this
// program starts itself in when it is not there yet): how long from a terminal's browser
// starting to a running server in the lab being offered, and what starting the browser
// costs the thread that starts it, with a daemon answering and without. Each figure is
// measured in processes of their own (discovery_probe), as a terminal starting would.
#include "../tests/faults/labprocess.h"
#include "discoverylab.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Samples = 21;
constexpr int ColdSamples = 5;

double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One run of the probe with this system bus; its key=value output.
QMap<QString, qint64> probe(const QString &bus, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VORNEL_DISCOVERY_PROBE), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        qFatal("discovery_probe failed: %s", process.readAllStandardError().constData());
    QMap<QString, qint64> values;
    for (const QByteArray &pair : process.readAllStandardOutput().trimmed().split(' ')) {
        const QList<QByteArray> kv = pair.split('=');
        if (kv.size() == 2)
            values.insert(QString::fromLatin1(kv.at(0)), kv.at(1).toLongLong());
    }
    return values;
}

// One start of the whole window (or of a bare one) with this system bus, from its spawning:
// "shown", and "offered" when a name is given.
QMap<QString, double> startWindow(const QString &bus, const QString &kind, const QString &name = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    QStringList arguments{kind,
                          QString::number(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count())};
    if (!name.isEmpty())
        arguments.append(name);
    process.start(QStringLiteral(VORNEL_STARTUP_PROBE), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        qFatal("startup_probe failed: %s", process.readAllStandardError().constData());
    const QList<QByteArray> f = process.readAllStandardOutput().simplified().split(' ');
    QMap<QString, double> values;
    for (qsizetype i = 0; i + 1 < f.size(); i += 2)
        values.insert(QString::fromLatin1(f.at(i)), f.at(i + 1).toDouble() / 1e6);
    return values;
}

// The whole window's start-up against a bare window's, the two started in turn.
double startupRatio(const QString &bus)
{
    std::vector<double> form1;
    std::vector<double> minimal;
    startWindow(bus, QStringLiteral("form1"));
    startWindow(bus, QStringLiteral("minimal"));
    for (int i = 0; i < Samples; ++i) {
        form1.push_back(startWindow(bus, QStringLiteral("form1")).value(QStringLiteral("shown")));
        minimal.push_back(
            startWindow(bus, QStringLiteral("minimal")).value(QStringLiteral("shown")));
    }
    return medianOf(form1) / medianOf(minimal);
}

// Median of a probe's figure over samples runs, in units of divisor nanoseconds.
double median(const QString &bus, const QStringList &arguments, const QString &key, double divisor,
              int samples = Samples)
{
    std::vector<double> values;
    for (int i = 0; i < samples; ++i) {
        const qint64 v = probe(bus, arguments).value(key, -1);
        if (v < 0)
            qFatal("discovery_probe gave no %s", qPrintable(key));
        values.push_back(double(v) / divisor);
    }
    return medianOf(values);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("VORNEL_LAB_T_NS")) {
        // Not in the lab yet: into it, as this very program.
        execl(VORNEL_RUN_DISCOVERY, VORNEL_RUN_DISCOVERY, argv[0], VORNEL_SERVER_PROGRAM,
              static_cast<char *>(nullptr));
        std::perror("run-discovery");
        return 1;
    }
    QCoreApplication app(argc, argv);
    DiscoveryLab lab;
    if (!lab.isComplete() || !lab.startAvahi(lab.terminal) || !lab.startAvahi(lab.server1))
        qFatal("the discovery lab is not whole");
    const QString name = QStringLiteral("Ölçüm");
    LabProcess *server = lab.startServer(lab.server1, {QStringLiteral("--name"), name});
    if (!server ||
        !QTest::qWaitFor([&] { return server->errors().contains(u"announced on the network"); },
                         20000))
        qFatal("the lab's server was not announced");

    const QString answering = lab.terminal.bus;
    const QString noBus = QStringLiteral("unix:path=/nonexistent/bus");
    const QStringList offer{QStringLiteral("browser"), name};

    // The daemon's cache empty: it has to ask the LAN. Then from what it heard already.
    std::vector<double> cold;
    for (int i = 0; i < ColdSamples; ++i) {
        lab.stopAvahi(lab.terminal);
        if (!lab.startAvahi(lab.terminal))
            qFatal("avahi-daemon did not come back");
        cold.push_back(double(probe(answering, offer).value(QStringLiteral("offered_ns"))) / 1e6);
    }
    const double warm = median(answering, offer, QStringLiteral("offered_ns"), 1e6);
    std::printf("start of the browser to the lab's server offered: %.1f ms with the daemon's "
                "cache empty (median of %d, %.1f-%.1f), %.1f ms with it cached (median of %d)\n",
                medianOf(cold), ColdSamples, *std::min_element(cold.begin(), cold.end()),
                *std::max_element(cold.begin(), cold.end()), warm, Samples);

    // The terminal itself: from its spawning to the server offered in its field.
    std::vector<double> windowOffered;
    for (int i = 0; i < Samples; ++i)
        windowOffered.push_back(
            startWindow(answering, QStringLiteral("form1"), name).value(QStringLiteral("offered")));
    std::printf("terminal's start to the lab's server offered in its server field: %.1f ms "
                "(median of %d, the daemon's cache full)\n",
                medianOf(windowOffered), Samples);
    const double ratioAnswering = startupRatio(answering);

    const QStringList start{QStringLiteral("browser")};
    const QStringList connect{QStringLiteral("connect")};
    const double startAnswering = median(answering, start, QStringLiteral("start_ns"), 1e3);
    const double connectAnswering = median(answering, connect, QStringLiteral("connect_ns"), 1e3);
    lab.stopAvahi(lab.terminal);
    const double startNoDaemon = median(answering, start, QStringLiteral("start_ns"), 1e3);
    const double startNoBus = median(noBus, start, QStringLiteral("start_ns"), 1e3);
    const double connectNoBus = median(noBus, connect, QStringLiteral("connect_ns"), 1e3);
    const double ratioNoDaemon = startupRatio(answering);
    std::printf("connecting to the system bus on the starting thread, as the browser does not: "
                "%.0f us with a bus, %.0f us without (median of %d)\n",
                connectAnswering, connectNoBus, Samples);
    std::printf("what starting the browser costs the starting thread (median of %d): %.0f us with "
                "a daemon answering, %.0f us with a bus but no daemon, %.0f us without a bus\n",
                Samples, startAnswering, startNoDaemon, startNoBus);
    std::printf("whole-process start-up of the terminal against a bare Qt window, median of %d "
                "each: %.2f with a daemon answering, %.2f without\n",
                Samples, ratioAnswering, ratioNoDaemon);
    return 0;
}
