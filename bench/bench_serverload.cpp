// The real server in a process of its own, under a LAN of simulated terminals (500 unless
// VORNEL_LOAD_TERMINALS says otherwise), each with its four connections: all join, 200
// chat lines fan out to everyone, all leave. Then a smaller LAN (200, VORNEL_LOAD_HONEST)
// as it is, with the server not waiting for each message's acknowledgement, and beside
// hostile hosts. Every notice and line must reach every terminal exactly once, each message
// in a read of its own. Reports the fan-out latency of the chat lines, the server's memory
// and CPU, and how late the simulating threads' own event loops ran, which the latencies
// include.
//
// The large LAN also comes on the encrypted link, one TLS connection a terminal, between two
// plain runs whose fan-out it must keep up with; then half of it plain and half on the link,
// where everything must still reach everyone exactly once. Reports the server's CPU per
// message sent and per handshake on either.
//
// Last, the server restarted under the large LAN: stopped with SIGTERM and started again at
// once, as systemd restarts it, while the terminals try again on the terminal's own retry
// schedule, with its spread and with every terminal at the same instant, taking turns; then
// once each with the kernel's listen queue as short as Qt makes it by default. Then the same
// on the link. Reports how long after the new server's start every terminal lists everyone
// again.
//
// VORNEL_LOAD_THREADS sets how many threads share the terminals (default 2);
// VORNEL_LOAD_RESTART_ONLY=1 runs the restarts alone, plain and on the link. This process
// always runs Qt without glib; the server gets QT_NO_GLIB only if it was set for this one.
#include "channels/retryschedule.h"
#include "common/percentiles.h"
#include "protocol/channel.h"
#include "protocol/chatline.h"
#include "serverlimits.h"
#include "serverload_hostile.h"
#include "serverload_terminals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

const QString kServerAddress = QStringLiteral("127.0.0.230");
// Every terminal on an address of its own, as on a LAN: 127.0.2.1 to 127.0.2.250, then
// 127.0.3.1 and on.
QHostAddress terminalAddress(int index)
{
    return QHostAddress(QStringLiteral("127.0.%1.%2").arg(2 + index / 250).arg(1 + index % 250));
}
const QString kProbeAddress = QStringLiteral("127.0.0.250");
// The hostile hosts of the second comparison.
const QString kFlooderAddress = QStringLiteral("127.0.4.1");
const QString kIdlerAddress = QStringLiteral("127.0.4.2");

constexpr int kRounds = 200;
constexpr double kRestartGoalS = 10;
constexpr double kLinkRestartGoalS = 2;
// Back to back, two plain runs of the large LAN differed in fan-out p99 by 18-46% of their
// mean (load average 2-3). The link counts as slower only beyond the two plain runs around
// it, or beyond a quarter of their mean where they happen to agree.
constexpr double kLinkMarginShare = 0.25;
// Qt's own listen backlog, to show what the server's saves.
constexpr int kQtBacklog = 50;
constexpr int kRoundMs = 50;
constexpr double kGoalMs = 20;
// Terminals a second; at once they would overflow the server's accept backlog.
constexpr int kConnectRate = 500;
constexpr int kAnnounceRate = 1000;
// Every wait below gives up once the run has taken this long, and as long again as a
// restart may take for each restart.
constexpr qint64 kBudgetMs = 110000;
constexpr qint64 kRestartBudgetMs = 30000;

// A field of /proc/<pid>/status in kB, or -1.
qint64 statusKb(qint64 pid, QByteArrayView field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field) && line.size() > field.size() && line[field.size()] == ':')
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User and system CPU time of a process, in nanoseconds; pid 0 is this one.
qint64 cpuNs(qint64 pid)
{
    QFile stat(pid > 0 ? QStringLiteral("/proc/%1/stat").arg(pid)
                       : QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The command name may hold spaces and parentheses; the fields follow its last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    const qint64 ticks = fields[11].toLongLong() + fields[12].toLongLong();
    return ticks * 1000000000 / ::sysconf(_SC_CLK_TCK);
}

// The kernel's count of connections a full listen queue turned away (TcpExt ListenDrops
// and ListenOverflows), for this network namespace.
std::pair<qint64, qint64> listenDrops()
{
    QFile netstat(QStringLiteral("/proc/net/netstat"));
    if (!netstat.open(QIODevice::ReadOnly))
        return {-1, -1};
    const QList<QByteArray> lines = netstat.readAll().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (!lines[i].startsWith("TcpExt:") || !lines[i + 1].startsWith("TcpExt:"))
            continue;
        const QList<QByteArray> names = lines[i].simplified().split(' ');
        const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
        const qsizetype drops = names.indexOf("ListenDrops");
        const qsizetype overflows = names.indexOf("ListenOverflows");
        if (drops < 0 || overflows < 0 || values.size() != names.size())
            return {-1, -1};
        return {values[drops].toLongLong(), values[overflows].toLongLong()};
    }
    return {-1, -1};
}

// The server's state directory, its key in it, for all servers of this run.
QString serverStateDirectory()
{
    static const QTemporaryDir directory;
    return directory.path();
}

double mib(qint64 kb)
{
    return kb < 0 ? -1 : double(kb) / 1024;
}

// Each terminal holds four descriptors here.
bool raiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted;
}

// The server's log, read as it grows.
class ServerLog
{
public:
    explicit ServerLog(const QString &path) : m_file(path) {}

    void poll()
    {
        if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly))
            return;
        m_partial += m_file.readAll();
        qsizetype start = 0;
        for (qsizetype end = m_partial.indexOf('\n'); end >= 0;
             end = m_partial.indexOf('\n', start)) {
            line(QString::fromLatin1(m_partial.sliced(start, end - start)));
            start = end + 1;
        }
        m_partial.remove(0, start);
    }

    bool listening = false;
    qint64 listeningNs = 0; // when this side read that it listens
    bool stopped = false;
    int connections = -1; // as of the latest line that counted them
    int mostConnections = 0;
    int listed = -1;
    int goneWithoutLeaving = 0;
    int warningCount = 0;
    QStringList warnings; // the first few

private:
    void line(const QString &text)
    {
        static const QRegularExpression connectionsRe(QStringLiteral("\\((\\d+) connections\\)$"));
        static const QRegularExpression listedRe(QStringLiteral("\\((\\d+) listed\\)$"));
        if (!listening && text.contains(QLatin1StringView("listening on"))) {
            listening = true;
            listeningNs = monotonicNs();
        }
        if (text.endsWith(QLatin1StringView(" stopped")))
            stopped = true;
        if (const auto m = connectionsRe.match(text); m.hasMatch()) {
            connections = m.captured(1).toInt();
            mostConnections = std::max(mostConnections, connections);
        }
        if (const auto m = listedRe.match(text); m.hasMatch())
            listed = m.captured(1).toInt();
        if (text.contains(QLatin1StringView("gone without leaving")))
            ++goneWithoutLeaving;
        if (text.contains(QLatin1StringView(" warning: ")) ||
            text.contains(QLatin1StringView(" error: ")) ||
            text.contains(QLatin1StringView(" fatal: "))) {
            if (warningCount++ < 8)
                warnings.append(text);
        }
    }

    QFile m_file;
    QByteArray m_partial;
};

// One kind of notice over all terminals.
struct NoticeCheck
{
    int complete = 0; // terminals with every nickname exactly once
    qint64 reads = 0;
    qint64 notices = 0;
    qint64 missing = 0;
    qint64 extra = 0;
    qint64 merged = 0;
    qint64 malformed = 0;
    bool sameOrder = true;
};

NoticeCheck checkNotices(const std::vector<TerminalRecord> &records,
                         const NoticeRecord TerminalRecord::*kind, QByteArrayView suffix,
                         int terminals)
{
    NoticeCheck c;
    std::vector<int> numbers;
    std::vector<int> counts;
    const QByteArray *first = nullptr;
    for (const TerminalRecord &t : records) {
        const NoticeRecord &r = t.*kind;
        c.reads += r.reads;
        c.merged += r.merged;
        c.malformed += r.malformed;
        if (!first)
            first = &r.bytes;
        else if (r.bytes != *first)
            c.sameOrder = false;
        if (!parseNotices(r.bytes, suffix, terminals, &numbers)) {
            c.missing += terminals;
            continue;
        }
        c.notices += qint64(numbers.size());
        counts.assign(size_t(terminals) + 1, 0);
        for (int n : numbers)
            ++counts[size_t(n)];
        bool exact = true;
        for (int n = 1; n <= terminals; ++n) {
            if (counts[size_t(n)] == 0)
                ++c.missing;
            else
                c.extra += counts[size_t(n)] - 1;
            exact = exact && counts[size_t(n)] == 1;
        }
        if (exact)
            ++c.complete;
    }
    return c;
}

// What one run is judged by.
struct RunSummary
{
    bool ok = false;
    Percentiles fanOut;
    qint64 lost = 0;
    int disconnections = 0;
    double peakMiB = -1;
    Percentiles plainFanOut;     // at the plain terminals alone
    Percentiles linkFanOut;      // at those on the link alone
    double usPerMessage[3] = {}; // server CPU per message it sent: join, chat, leave
    double connectS = 0;
    double connectServerUs = 0; // server CPU per terminal connected
};

// One restart of the server under the LAN.
struct RestartCycle
{
    bool link = false; // the terminals on the encrypted link
    bool spread = true;
    int backlog = 0; // the server's own when 0
    qint64 stopNs = 0;
    qint64 startNs = 0;     // the new server started
    qint64 listeningNs = 0; // its log said it listens
    qint64 backNs = 0;      // the last terminal listing everyone again
    bool stoppedCleanly = false;
    bool complete = false;
    int terminals = 0;
    NoticeCheck list;
    NoticeCheck join;
    int attempts = 0;
    int failedAttempts = 0;
    int extraEnds = 0; // sessions the new server ended
    qint64 slowestConnectNs = 0;
    qint64 lastFirstAttemptNs = 0; // of the terminal that tried last
    // From a terminal's end to its first attempt, over all terminals.
    qint64 firstWaitMinNs = -1;
    qint64 firstWaitMaxNs = -1;
    qint64 listenDrops = -1;
    qint64 listenOverflows = -1;
    int warnings = 0;
    QString firstWarning;
    Percentiles lag; // of the measuring threads, from the start until all were listed

    double seconds() const { return backNs > startNs ? double(backNs - startNs) / 1e9 : -1; }
    // What is left once the last terminal has tried: the server and the way to it.
    double secondsAfterAttempts() const
    {
        return lastFirstAttemptNs > 0 && backNs > lastFirstAttemptNs
                   ? double(backNs - lastFirstAttemptNs) / 1e9
                   : -1;
    }
    qint64 merged() const { return list.merged + join.merged; }
    // The first attempts as the terminal's schedule makes them: its first wait, spread
    // over the whole of its range or, without spread, the same for all.
    bool keptSchedule() const
    {
        const qint64 nominal = RetrySchedule::FirstWaitMs * 1000000;
        const auto spreadNs = qint64(double(nominal) * RetrySchedule::Spread);
        const qint64 earliest = spread ? nominal - spreadNs : nominal;
        const qint64 latest = spread ? nominal + spreadNs : nominal;
        // A measuring thread that has fallen behind runs a timer late, never early; the
        // spread of 500 waits reaches within a quarter of each end of its range.
        const qint64 slack = 1000000000;
        return firstWaitMinNs >= earliest - 1000000 && firstWaitMaxNs <= latest + slack &&
               (!spread || (firstWaitMinNs < earliest + spreadNs / 2 &&
                            firstWaitMaxNs > latest - spreadNs / 2));
    }
    // On the link each frame is one message, whatever the threads' lateness. Plain reads
    // holding two messages are counted; they fail the restart only where the measuring
    // threads kept up. The server sends a connection's next message once the last is
    // acknowledged, and the played terminals acknowledge a user list entry only once they
    // have read it (see LoadWorker::onConnected) or once the kernel's delayed
    // acknowledgement, at least 40 ms, gives up waiting for them. Join notices may come
    // before a terminal has seen its join connection up, acknowledged on arrival.
    bool ok() const
    {
        return stoppedCleanly && complete && list.complete == terminals && list.extra == 0 &&
               list.malformed == 0 && join.extra == 0 && join.malformed == 0 && extraEnds == 0 &&
               warnings == 0 && keptSchedule() && (backlog > 0 || listenDrops <= 0) &&
               (link ? merged() == 0 : lag.max >= 40 || list.merged == 0);
    }
};

struct Window
{
    qint64 startNs = 0;
    qint64 endNs = 0;
    qint64 serverCpuNs = 0;
    qint64 clientCpuNs = 0;

    double seconds() const { return double(endNs - startNs) / 1e9; }
};

class LoadRun
{
public:
    // With restarts the LAN does not chat: it joins, goes through them and leaves.
    LoadRun(int terminals, int threads, const QString &serverNoGlib, bool hostile = false,
            bool ackWait = true, std::vector<RestartCycle> restarts = {},
            Transport transport = Transport::Plain)
        : m_terminals(terminals), m_threadCount(threads), m_serverNoGlib(serverNoGlib),
          m_hostile(hostile), m_ackWait(ackWait), m_transport(transport),
          m_rounds(restarts.empty() ? kRounds : 0),
          m_budgetMs(kBudgetMs + qint64(restarts.size()) * kRestartBudgetMs),
          m_restarts(std::move(restarts))
    {}
    ~LoadRun();
    int run();
    const RunSummary &summary() const { return m_summary; }
    const std::vector<RestartCycle> &restarts() const { return m_restarts; }

private:
    bool startServer(int backlog = 0);
    void restart(RestartCycle &c);
    void reportRestarts();
    void startWorkers();
    bool waitFor(const std::function<bool()> &done, qint64 timeoutMs);
    void tick();
    void begin(Window &w) const;
    void end(Window &w) const;
    LoadWorker *workerFor(int index) const { return m_workers[size_t(index % m_threadCount)]; }
    template <typename Sum> int sum(Sum field) const
    {
        qint64 total = 0;
        for (const LoadWorker *w : m_workers)
            total += (w->*field).load();
        return int(total);
    }
    void gather();
    void stopWorkers();
    void probeList();
    void stopServer();
    int report();

    const int m_terminals;
    const int m_threadCount;
    const QString m_serverNoGlib;
    const bool m_hostile;
    const bool m_ackWait;
    const Transport m_transport;
    const int m_rounds;
    const qint64 m_budgetMs;
    std::vector<RestartCycle> m_restarts;
    int m_serverStarts = 0;
    std::unique_ptr<HostileHosts> m_hostileHosts;
    qint64 m_hostileLines = 0;
    qint64 m_hostileDeliveries = 0;
    int m_hostileClosed = 0;
    RunSummary m_summary;
    int m_roundMs = kRoundMs;
    QElapsedTimer m_clock;
    QTemporaryDir m_dir;
    QProcess m_server;
    std::unique_ptr<ServerLog> m_log;
    qint64 m_lastLogPoll = 0;
    LoadShared m_shared;
    std::vector<QThread *> m_threads;
    std::vector<LoadWorker *> m_workers;

    bool m_sampling = false;
    qint64 m_lastSample = 0;
    qint64 m_rssIdle = -1;
    qint64 m_rssJoined = -1;
    qint64 m_rssChatPeak = -1;
    qint64 m_rssLeft = -1;
    qint64 m_rssClosed = -1;
    int m_goneWithoutLeaving = 0;
    qint64 m_hwm = -1;

    Window m_connect, m_join, m_chat, m_leave;
    bool m_connected = false, m_joined = false, m_chatted = false, m_left = false;
    bool m_closedAll = false;
    QByteArray m_probeBytes;
    int m_probeReads = 0;
    bool m_serverStoppedCleanly = false;
    QString m_serverFailure;

    std::vector<TerminalRecord> m_records;
    std::vector<qint64> m_latencies;
    std::vector<qint64> m_linkLatencies;
    std::vector<LagSample> m_lag;
};

LoadRun::~LoadRun()
{
    stopWorkers();
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool LoadRun::waitFor(const std::function<bool()> &done, qint64 timeoutMs)
{
    const qint64 limit = std::min(timeoutMs, m_budgetMs - m_clock.elapsed());
    QElapsedTimer waited;
    waited.start();
    bool ok = false;
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    const auto check = [&] {
        tick();
        if (done()) {
            ok = true;
            loop.quit();
        } else if (waited.elapsed() >= limit) {
            loop.quit();
        }
    };
    QObject::connect(&ticker, &QTimer::timeout, &loop, check);
    ticker.start();
    QTimer::singleShot(0, &loop, check);
    loop.exec();
    return ok;
}

void LoadRun::tick()
{
    const qint64 now = m_clock.elapsed();
    if (m_log && now - m_lastLogPoll >= 5) {
        m_lastLogPoll = now;
        m_log->poll();
    }
    if (m_sampling && now - m_lastSample >= 20) {
        m_lastSample = now;
        m_rssChatPeak = std::max(m_rssChatPeak, statusKb(m_server.processId(), "VmRSS"));
    }
}

void LoadRun::begin(Window &w) const
{
    w.startNs = monotonicNs();
    w.serverCpuNs = cpuNs(m_server.processId());
    w.clientCpuNs = cpuNs(0);
}

void LoadRun::end(Window &w) const
{
    w.endNs = monotonicNs();
    w.serverCpuNs = cpuNs(m_server.processId()) - w.serverCpuNs;
    w.clientCpuNs = cpuNs(0) - w.clientCpuNs;
}

bool LoadRun::startServer(int backlog)
{
    if (!m_dir.isValid() || serverStateDirectory().isEmpty()) {
        m_serverFailure = QStringLiteral("no temporary directory for the server's log or key");
        return false;
    }
    const QString logPath = m_dir.filePath(QStringLiteral("server-%1.log").arg(++m_serverStarts));
    m_log = std::make_unique<ServerLog>(logPath);
    // To a file rather than a pipe, so that the server never waits for us to read its log.
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.setStandardOutputFile(logPath);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The server gets the event dispatcher it would get if started by hand.
    if (m_serverNoGlib.isNull())
        env.remove(QStringLiteral("QT_NO_GLIB"));
    else
        env.insert(QStringLiteral("QT_NO_GLIB"), m_serverNoGlib);
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("vornel.server*=true"));
    // The link's key is made at the first start and kept for the rest of this run, never in
    // the home directory.
    env.insert(QStringLiteral("STATE_DIRECTORY"), serverStateDirectory());
    m_server.setProcessEnvironment(env);
    QStringList arguments{QStringLiteral("--listen"), kServerAddress};
    if (!m_ackWait)
        arguments.append(QStringLiteral("--no-ack-wait"));
    if (backlog > 0)
        arguments << QStringLiteral("--listen-backlog") << QString::number(backlog);
    m_server.start(QStringLiteral(VORNEL_SERVER_PROGRAM), arguments);
    if (!m_server.waitForStarted(5000)) {
        m_serverFailure = QStringLiteral("cannot start ") % QStringLiteral(VORNEL_SERVER_PROGRAM) %
                          u": " % m_server.errorString();
        return false;
    }
    if (!waitFor([&] { return m_log->listening || m_server.state() == QProcess::NotRunning; },
                 5000) ||
        !m_log->listening) {
        m_log->poll();
        m_serverFailure = QStringLiteral("the server did not start listening on ") %
                          kServerAddress % u": " % m_log->warnings.join(u"; ");
        return false;
    }
    return true;
}

void LoadRun::startWorkers()
{
    m_shared.server = QHostAddress(kServerAddress);
    m_shared.terminals = m_terminals;
    m_shared.rounds = m_rounds;
    m_shared.threads = m_threadCount;
    m_shared.transport = m_transport;
    // In a mixed room a plain read holding two messages fails the run; acknowledged only once
    // read, a late measuring thread cannot glue them.
    m_shared.acknowledgeOnRead = m_transport == Transport::Mixed;
    m_shared.joinSuffix = joinNotice({});
    m_shared.hostile = m_hostile;
    m_shared.sentNs = std::make_unique<std::atomic<qint64>[]>(size_t(m_rounds));
    for (int i = 0; i < m_threadCount; ++i) {
        auto *thread = new QThread;
        auto *worker = new LoadWorker(m_shared, i, m_threadCount);
        worker->moveToThread(thread);
        thread->start();
        QMetaObject::invokeMethod(worker, [worker] { worker->startLagProbe(); });
        m_threads.push_back(thread);
        m_workers.push_back(worker);
    }
}

void LoadRun::gather()
{
    for (LoadWorker *w : m_workers) {
        QMetaObject::invokeMethod(
            w,
            [&, w] {
                const std::vector<TerminalRecord> records = w->records();
                m_records.insert(m_records.end(), records.begin(), records.end());
                m_latencies.insert(m_latencies.end(), w->latencies().begin(), w->latencies().end());
                m_linkLatencies.insert(m_linkLatencies.end(), w->linkLatencies().begin(),
                                       w->linkLatencies().end());
                m_lag.insert(m_lag.end(), w->lag().begin(), w->lag().end());
                m_hostileDeliveries += w->hostileDeliveries.load();
            },
            Qt::BlockingQueuedConnection);
    }
    std::sort(m_records.begin(), m_records.end(),
              [](const TerminalRecord &a, const TerminalRecord &b) { return a.index < b.index; });
}

void LoadRun::stopWorkers()
{
    QThread *here = QThread::currentThread();
    for (size_t i = 0; i < m_workers.size(); ++i) {
        LoadWorker *w = m_workers[i];
        QMetaObject::invokeMethod(
            w,
            [w, here] {
                w->shutDown();
                w->moveToThread(here);
            },
            Qt::BlockingQueuedConnection);
        m_threads[i]->quit();
        m_threads[i]->wait();
        delete w;
        delete m_threads[i];
    }
    m_workers.clear();
    m_threads.clear();
}

// A user list connection that comes after everyone has left must be sent its own
// nickname and nothing else.
void LoadRun::probeList()
{
    QTcpSocket probe;
    QObject::connect(&probe, &QTcpSocket::readyRead, &probe, [&] {
        m_probeBytes += probe.readAll();
        ++m_probeReads;
    });
    QObject::connect(&probe, &QTcpSocket::connected, &probe, [&] { probe.write("PROBE"); });
    if (!probe.bind(QHostAddress(kProbeAddress)))
        return;
    probe.connectToHost(QHostAddress(kServerAddress), portOf(Channel::UserList));
    waitFor([&] { return m_probeBytes.size() >= 5; }, 3000);
    // Anything more would come right behind.
    waitFor([] { return false; }, 300);
    probe.disconnectFromHost();
}

void LoadRun::stopServer()
{
    m_hwm = statusKb(m_server.processId(), "VmHWM");
    m_server.terminate();
    if (!m_server.waitForFinished(5000)) {
        m_server.kill();
        m_server.waitForFinished(5000);
        m_serverFailure = QStringLiteral("the server did not stop on SIGTERM");
    }
    m_log->poll();
    m_serverStoppedCleanly =
        m_server.exitStatus() == QProcess::NormalExit && m_server.exitCode() == 0 && m_log->stopped;
    if (!m_serverStoppedCleanly && m_serverFailure.isEmpty())
        m_serverFailure = QStringLiteral("the server ended with status %1, exit code %2")
                              .arg(int(m_server.exitStatus()))
                              .arg(m_server.exitCode());
}

void LoadRun::restart(RestartCycle &c)
{
    c.terminals = m_terminals;
    c.link = m_transport == Transport::Link;
    for (LoadWorker *w : m_workers)
        QMetaObject::invokeMethod(
            w, [w, spread = c.spread] { w->retryOnEnd(spread); }, Qt::BlockingQueuedConnection);
    const auto before = listenDrops();
    c.stopNs = monotonicNs();
    m_server.terminate();
    const bool finished = m_server.waitForFinished(10000);
    m_log->poll();
    c.stoppedCleanly = finished && m_server.exitStatus() == QProcess::NormalExit &&
                       m_server.exitCode() == 0 && m_log->stopped;
    if (!finished) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    // Again at once, as systemd restarts it.
    c.startNs = monotonicNs();
    if (!startServer(c.backlog))
        return;
    c.listeningNs = m_log->listeningNs;
    c.complete =
        waitFor([&] { return sum(&LoadWorker::relisted) == m_terminals; }, kRestartBudgetMs);
    // Anything late or repeated would have come by now.
    waitFor([] { return false; }, 300);
    const auto after = listenDrops();
    if (before.first >= 0 && after.first >= 0) {
        c.listenDrops = after.first - before.first;
        c.listenOverflows = after.second - before.second;
    }
    std::vector<TerminalRecord> records;
    std::vector<qint64> lag;
    for (LoadWorker *w : m_workers) {
        QMetaObject::invokeMethod(
            w,
            [&, w] {
                const std::vector<TerminalRecord> mine = w->records();
                records.insert(records.end(), mine.begin(), mine.end());
                for (const LagSample &sample : w->lag()) {
                    if (sample.dueNs >= c.startNs)
                        lag.push_back(sample.lateNs);
                }
            },
            Qt::BlockingQueuedConnection);
    }
    c.lag = percentiles(std::move(lag));
    c.list = checkNotices(records, &TerminalRecord::relist, {}, m_terminals);
    c.join = checkNotices(records, &TerminalRecord::rejoin, m_shared.joinSuffix, m_terminals);
    for (const TerminalRecord &t : records) {
        c.backNs = std::max(c.backNs, t.listedNs);
        c.lastFirstAttemptNs = std::max(c.lastFirstAttemptNs, t.firstAttemptNs);
        c.attempts += t.attempts;
        c.failedAttempts += t.failedAttempts;
        c.extraEnds += std::max(0, t.ends - 1);
        if (t.upNs > 0 && t.attemptNs > 0)
            c.slowestConnectNs = std::max(c.slowestConnectNs, t.upNs - t.attemptNs);
        const qint64 wait = t.endNs > 0 && t.firstAttemptNs > 0 ? t.firstAttemptNs - t.endNs : -1;
        if (c.firstWaitMinNs < 0 || wait < c.firstWaitMinNs)
            c.firstWaitMinNs = wait;
        c.firstWaitMaxNs = std::max(c.firstWaitMaxNs, wait);
    }
    if (int(records.size()) != m_terminals)
        c.complete = false;
    m_log->poll();
    c.warnings = m_log->warningCount;
    c.firstWarning = m_log->warnings.value(0);
}

int LoadRun::run()
{
    m_clock.start();
    if (!startServer()) {
        std::printf("%s\n", qPrintable(m_serverFailure));
        std::printf("fan-out p99, %d terminals (goal < %.0f ms): not measured\n", m_terminals,
                    kGoalMs);
        return 1;
    }
    // Raised only now, so that the server starts with the limit it would have anyway.
    if (!raiseDescriptorLimit(rlim_t(4 * m_terminals + 64))) {
        std::printf("the descriptor limit is too low for %d terminals\n", m_terminals);
        std::printf("fan-out p99, %d terminals (goal < %.0f ms): not measured\n", m_terminals,
                    kGoalMs);
        return 1;
    }
    waitFor([] { return false; }, 300);
    m_rssIdle = statusKb(m_server.processId(), "VmRSS");

    // Each address takes its budget's rate once its burst is spent, so one terminal's lines
    // must be at least this far apart.
    const ServerLimits limits;
    const int perConnectionMs = 1250 / std::max(1, limits.arrivalsPerSecond);
    m_roundMs = std::max(kRoundMs, (perConnectionMs + m_terminals - 1) / m_terminals);

    startWorkers();
    const int connections = 4 * m_terminals;

    // Connect: everyone's four channels, before anyone says who they are, since a join
    // notice reaches only the join connections open at the time. Links all at once, to time
    // as many handshakes together.
    begin(m_connect);
    int next = 0;
    const bool atOnce = m_transport == Transport::Link;
    m_connected = waitFor(
        [&] {
            const qint64 due =
                atOnce ? m_terminals
                       : std::min<qint64>(
                             m_terminals,
                             (monotonicNs() - m_connect.startNs) * kConnectRate / 1000000000 + 1);
            for (; next < due; ++next) {
                const int i = next;
                const QHostAddress local = terminalAddress(i);
                LoadWorker *w = workerFor(i);
                QMetaObject::invokeMethod(w, [w, i, local] { w->connectTerminal(i, local); });
            }
            return next == m_terminals && sum(&LoadWorker::connectedSockets) == connections &&
                   m_log->connections == connections;
        },
        20000);
    end(m_connect);
    if (m_hostile) {
        m_hostileHosts = std::make_unique<HostileHosts>(QHostAddress(kServerAddress),
                                                        QHostAddress(kFlooderAddress),
                                                        QHostAddress(kIdlerAddress), m_terminals);
        m_hostileHosts->start();
    }

    // Join: nickname on the user list and join channels.
    begin(m_join);
    next = 0;
    m_joined = waitFor(
        [&] {
            const qint64 due = std::min<qint64>(
                m_terminals, (monotonicNs() - m_join.startNs) * kAnnounceRate / 1000000000 + 1);
            for (; next < due; ++next) {
                const int i = next;
                LoadWorker *w = workerFor(i);
                QMetaObject::invokeMethod(w, [w, i] { w->announce(i); });
            }
            return next == m_terminals && sum(&LoadWorker::listComplete) == m_terminals &&
                   sum(&LoadWorker::joinComplete) == m_terminals;
        },
        60000);
    end(m_join);
    m_rssJoined = statusKb(m_server.processId(), "VmRSS");

    for (RestartCycle &c : m_restarts)
        restart(c);

    // Chat: one line a round, from each terminal in turn.
    begin(m_chat);
    m_sampling = true;
    m_rssChatPeak = m_rssJoined;
    int sent = 0;
    const qint64 deliveries = qint64(m_terminals) * m_rounds;
    m_chatted = waitFor(
        [&] {
            const qint64 due = std::min<qint64>(
                m_rounds, (monotonicNs() - m_chat.startNs) / (qint64(m_roundMs) * 1000000) + 1);
            for (; sent < due; ++sent) {
                const int round = sent;
                const int i = round % m_terminals;
                LoadWorker *w = workerFor(i);
                QMetaObject::invokeMethod(w, [w, i, round] { w->sendChat(i, round); });
            }
            return sent == m_rounds && sum(&LoadWorker::chatDeliveries) == deliveries;
        },
        qint64(m_rounds) * m_roundMs + 15000);
    end(m_chat);
    m_sampling = false;
    if (m_hostileHosts) {
        m_hostileLines = m_hostileHosts->linesSent();
        m_hostileClosed = m_hostileHosts->closedByServer();
        m_hostileHosts.reset();
        // Its names go off the honest lists before the honest terminals leave.
        waitFor([] { return false; }, 500);
    }

    // Leave.
    begin(m_leave);
    next = 0;
    m_left = waitFor(
        [&] {
            const qint64 due = std::min<qint64>(
                m_terminals, (monotonicNs() - m_leave.startNs) * kAnnounceRate / 1000000000 + 1);
            for (; next < due; ++next) {
                const int i = next;
                LoadWorker *w = workerFor(i);
                QMetaObject::invokeMethod(w, [w, i] { w->leave(i); });
            }
            return next == m_terminals && sum(&LoadWorker::leaveComplete) == m_terminals &&
                   m_log->listed == 0;
        },
        40000);
    end(m_leave);
    m_rssLeft = statusKb(m_server.processId(), "VmRSS");

    // Anything late or repeated would have come by now.
    waitFor([] { return false; }, 200);
    gather();
    stopWorkers();
    m_closedAll = waitFor([&] { return m_log->connections == 0; }, 10000);
    // The server hands freed memory back a second after connections close.
    waitFor([] { return false; }, 1500);
    m_rssClosed = statusKb(m_server.processId(), "VmRSS");
    m_goneWithoutLeaving = m_log->goneWithoutLeaving;
    probeList();
    stopServer();
    return report();
}

void LoadRun::reportRestarts()
{
    const auto yesNo = [](bool b) { return b ? "yes" : "NO"; };
    std::printf("\nrestarts: the server stopped with SIGTERM and started again at once; times "
                "from the new server's process start\n");
    std::printf("  %-11s %7s %11s %7s %9s %10s %8s %6s %8s %12s %10s %8s %4s\n", "waits", "backlog",
                "first waits", "stopped", "listening", "all listed", "attempts", "failed",
                "slowest", "SYNs dropped", "merged", "lag max", "ok");
    for (const RestartCycle &c : m_restarts) {
        std::printf(
            "  %-11s %7s %11s %5.2f s %6.0f ms %8.2f s %8d %6d %5.0f ms %12s %10s %5.0f ms %4s\n",
            c.spread ? "spread" : "all at once",
            c.backlog > 0 ? qPrintable(QString::number(c.backlog)) : "own",
            qPrintable(QStringLiteral("%1-%2 s")
                           .arg(double(c.firstWaitMinNs) / 1e9, 0, 'f', 2)
                           .arg(double(c.firstWaitMaxNs) / 1e9, 0, 'f', 2)),
            double(c.startNs - c.stopNs) / 1e9,
            c.listeningNs > 0 ? double(c.listeningNs - c.startNs) / 1e6 : -1.0, c.seconds(),
            c.attempts, c.failedAttempts, double(c.slowestConnectNs) / 1e6,
            c.listenDrops < 0
                ? "?"
                : qPrintable(QStringLiteral("%1 (%2)").arg(c.listenDrops).arg(c.listenOverflows)),
            qPrintable(QStringLiteral("%1 / %2").arg(c.list.merged).arg(c.join.merged)), c.lag.max,
            yesNo(c.ok()));
    }
    std::printf("  (stopped: SIGTERM to the new start; listening: when its log said so, read "
                "every 5 ms; first waits: from each terminal's end to its first attempt, "
                "fastest and slowest; all listed: the last terminal listing all %d exactly once; "
                "slowest: an attempt's start to its four connections; SYNs dropped: the "
                "kernel's ListenDrops (ListenOverflows) meanwhile; merged: user list / join "
                "reads holding more than one message, possible only behind a late measuring "
                "thread; lag max: how late the measuring threads' 10 ms timers ran at "
                "worst)\n",
                m_terminals);
    for (const RestartCycle &c : m_restarts) {
        if (c.ok())
            continue;
        std::printf("  %s, backlog %d: stopped cleanly %s, complete %s; lists whole %d of %d, "
                    "missing %lld, extra %lld, malformed %lld; join notices extra %lld, "
                    "malformed %lld; sessions the new server ended %d; first attempts kept the "
                    "schedule: %s; server warnings %d%s%s\n",
                    c.spread ? "spread" : "all at once", c.backlog, yesNo(c.stoppedCleanly),
                    yesNo(c.complete), c.list.complete, c.terminals, qlonglong(c.list.missing),
                    qlonglong(c.list.extra), qlonglong(c.list.malformed), qlonglong(c.join.extra),
                    qlonglong(c.join.malformed), c.extraEnds, yesNo(c.keptSchedule()), c.warnings,
                    c.firstWarning.isEmpty() ? "" : ", first: ", qPrintable(c.firstWarning));
    }
}

int LoadRun::report()
{
    const int n = m_terminals;
    bool ok = m_connected && m_joined && m_chatted && m_left && m_closedAll &&
              m_serverStoppedCleanly && int(m_records.size()) == n;

    int connectedTerminals = 0;
    int errors = 0;
    QString firstError;
    qint64 lost = 0, duplicated = 0, chatReads = 0, chatMerged = 0, chatMalformed = 0,
           wrongSender = 0;
    for (const TerminalRecord &t : m_records) {
        connectedTerminals += t.connected == 4 ? 1 : 0;
        errors += t.errors;
        if (firstError.isEmpty() && !t.firstError.isEmpty())
            firstError = u'T' % QString::number(t.index + 1) % u' ' % t.firstError;
        chatReads += t.chatReads;
        chatMerged += t.chatMerged;
        chatMalformed += t.chatMalformed;
        wrongSender += t.chatWrongSender;
        for (quint8 seen : t.chatSeen) {
            lost += seen == 0 ? 1 : 0;
            duplicated += seen > 1 ? seen - 1 : 0;
        }
    }
    lost += qint64(n - int(m_records.size())) * m_rounds;
    const NoticeCheck list = checkNotices(m_records, &TerminalRecord::list, {}, n);
    const NoticeCheck join = checkNotices(m_records, &TerminalRecord::join, m_shared.joinSuffix, n);
    const NoticeCheck leave = checkNotices(m_records, &TerminalRecord::leave, {}, n);
    const bool probeOk = m_probeBytes == "PROBE" && m_probeReads == 1;
    ok = ok && connectedTerminals == n && errors == 0 && lost == 0 && duplicated == 0 &&
         chatMalformed == 0 && wrongSender == 0 && probeOk;
    qint64 merged = chatMerged;
    for (const NoticeCheck *c : {&list, &join, &leave}) {
        ok = ok && c->complete == n && c->malformed == 0 && c->sameOrder;
        merged += c->merged;
    }
    int linked = 0;
    for (int i = 0; i < n; ++i)
        linked += m_shared.onLink(i) ? 1 : 0;
    // A frame holds one message however late its reader, so on the link any merge is the
    // server's.
    qint64 mergedOn[2] = {0, 0}; // plain, link
    qint64 mergedBehindWrite = 0;
    int toldWrong = 0;
    for (const TerminalRecord &t : m_records) {
        mergedOn[t.onLink] += t.chatMerged + t.list.merged + t.join.merged + t.leave.merged;
        mergedBehindWrite += t.chatMergedBehindWrite + t.list.mergedBehindWrite +
                             t.join.mergedBehindWrite + t.leave.mergedBehindWrite;
        if (t.onLink && (t.plainUsersTold == 0 || t.plainUsers != n - linked))
            ++toldWrong;
    }
    ok = ok && mergedOn[1] == 0 && toldWrong == 0;

    const auto lagIn = [&](const Window &w) {
        std::vector<qint64> v;
        for (const LagSample &s : m_lag) {
            if (s.dueNs >= w.startNs && s.dueNs < w.endNs)
                v.push_back(s.lateNs);
        }
        return percentiles(std::move(v));
    };
    const auto cpu = [](qint64 ns, const Window &w) {
        return w.seconds() > 0 ? 100.0 * double(ns) / 1e9 / w.seconds() : 0.0;
    };
    const auto yesNo = [](bool b) { return b ? "yes" : "NO"; };
    // Acknowledged only once read, a plain read holding two messages needs a reader later
    // than the kernel's delayed acknowledgement, at least 40 ms.
    const Percentiles readingLag = lagIn(Window{m_join.startNs, m_leave.endNs, 0, 0});
    const bool plainMergeExcused = readingLag.max >= 40;
    if (m_shared.acknowledgeOnRead)
        ok = ok && (mergedOn[0] == 0 || plainMergeExcused);

    std::printf("vornel-server on %s under %d terminals (%d connections), %d client threads, "
                "%d CPUs\n",
                qPrintable(kServerAddress), n, 4 * n, m_threadCount, QThread::idealThreadCount());
    if (linked > 0)
        std::printf("%d of the terminals on the encrypted link, one TLS connection each, "
                    "counting as four\n",
                    linked);
    std::printf("\n%-8s %8s %10s %13s %11s %11s %13s %13s\n", "phase", "time s", "messages",
                "server us/msg", "server CPU%", "client CPU%", "loop lag p99", "loop lag max");
    const qint64 squared = qint64(n) * n;
    struct Row
    {
        const char *name;
        const Window *window;
        qint64 messages; // the server sends
    };
    for (const Row &row :
         {Row{"connect", &m_connect, 0}, Row{"join", &m_join, 2 * squared},
          Row{"chat", &m_chat, qint64(n) * m_rounds}, Row{"leave", &m_leave, squared}}) {
        const Window &w = *row.window;
        const Percentiles lag = lagIn(w);
        const double perMessage =
            row.messages > 0 ? double(w.serverCpuNs) / 1e3 / double(row.messages) : 0.0;
        std::printf("%-8s %8.2f %10lld %13.1f %11.0f %11.0f %10.2f ms %10.2f ms\n", row.name,
                    w.seconds(), qlonglong(row.messages), perMessage, cpu(w.serverCpuNs, w),
                    cpu(w.clientCpuNs, w), lag.p99, lag.max);
    }
    std::printf("(server us/msg: server CPU time per message it sent; CPU%% of one core; loop "
                "lag: how late the client threads' 10 ms timers ran)\n");

    std::printf("\nconnect: %d of %d terminals with all four channels, server counted %d at "
                "most; %s\n",
                connectedTerminals, n, m_log->mostConnections,
                m_connected ? "complete" : "INCOMPLETE (gave up)");
    if (m_transport == Transport::Link)
        std::printf("  %d TLS handshakes begun at once: all done after %.2f s; CPU per "
                    "handshake: server %.0f us, this process %.0f us\n",
                    n, m_connect.seconds(), double(m_connect.serverCpuNs) / 1e3 / n,
                    double(m_connect.clientCpuNs) / 1e3 / n);
    std::printf("join: every list and notice at every terminal %.2f s after the first "
                "nickname (%.2f s after the first connection)%s\n",
                m_join.seconds(), double(m_join.endNs - m_connect.startNs) / 1e9,
                m_joined ? "" : " -- INCOMPLETE (gave up)");
    const auto printNotices = [&](const char *what, const NoticeCheck &c) {
        std::printf("  %-13s terminals with all %d exactly once: %d; notices %lld in %lld "
                    "reads; missing %lld, extra %lld; merged into one read %lld, malformed "
                    "reads %lld; same order everywhere: %s\n",
                    what, n, c.complete, qlonglong(c.notices), qlonglong(c.reads),
                    qlonglong(c.missing), qlonglong(c.extra), qlonglong(c.merged),
                    qlonglong(c.malformed), yesNo(c.sameOrder));
    };
    printNotices("user list:", list);
    printNotices("join notices:", join);

    std::vector<qint64> latencies = m_latencies;
    latencies.insert(latencies.end(), m_linkLatencies.begin(), m_linkLatencies.end());
    const Percentiles fanOut = percentiles(std::move(latencies));
    if (m_rounds > 0)
        std::printf("chat: %d lines, one every %d ms, to %d terminals: %lld deliveries of %lld; "
                    "lost %lld, duplicated %lld; merged into one read %lld, malformed reads %lld, "
                    "wrong sender %lld\n",
                    m_rounds, m_roundMs, n, qlonglong(fanOut.count),
                    qlonglong(qint64(n) * m_rounds), qlonglong(lost), qlonglong(duplicated),
                    qlonglong(chatMerged), qlonglong(chatMalformed), qlonglong(wrongSender));
    if (m_rounds > 0)
        std::printf("  fan-out latency, send to arrival: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    fanOut.p50, fanOut.p99, fanOut.max);
    const Percentiles plainFanOut = percentiles(m_latencies);
    const Percentiles linkFanOut = percentiles(m_linkLatencies);
    if (m_rounds > 0 && m_transport == Transport::Mixed)
        std::printf("  at the %d plain / %d link terminals: p50 %.2f / %.2f ms, p99 %.2f / "
                    "%.2f ms, max %.2f / %.2f ms\n",
                    n - linked, linked, plainFanOut.p50, linkFanOut.p50, plainFanOut.p99,
                    linkFanOut.p99, plainFanOut.max, linkFanOut.max);
    if (!m_restarts.empty())
        reportRestarts();
    std::printf("leave: every notice at every terminal %.2f s after the first leave%s\n",
                m_leave.seconds(), m_left ? "" : " -- INCOMPLETE (gave up)");
    printNotices("leave notices:", leave);
    std::printf("  server's list at the end: %d listed (log); a fresh user list connection "
                "got %s in %d reads: %s\n",
                m_log->listed, m_probeBytes.isEmpty() ? "nothing" : m_probeBytes.constData(),
                m_probeReads, probeOk ? "only its own nickname" : "NOT only its own nickname");
    std::printf("  connections after everyone closed: %d (log); gone without leaving: %d\n",
                m_log->connections, m_goneWithoutLeaving);

    std::printf("\nserver VmRSS: idle %.1f MiB, after join %.1f MiB, chat peak %.1f MiB, after "
                "leave %.1f MiB, all closed %.1f MiB; VmHWM %.1f MiB\n",
                mib(m_rssIdle), mib(m_rssJoined), mib(m_rssChatPeak), mib(m_rssLeft),
                mib(m_rssClosed), mib(m_hwm));
    if (m_hostile) {
        std::printf("hostile hosts: %lld flood lines sent, %lld of them relayed to the honest "
                    "terminals in all; the server closed their connections %d times\n",
                    qlonglong(m_hostileLines), qlonglong(m_hostileDeliveries), m_hostileClosed);
    }
    std::printf("socket errors and unasked disconnections at the terminals: %d%s%s\n", errors,
                firstError.isEmpty() ? "" : ", first: ", qPrintable(firstError));
    std::printf("server warnings: %d; stopped cleanly on SIGTERM: %s\n", m_log->warningCount,
                yesNo(m_serverStoppedCleanly));
    for (const QString &w : std::as_const(m_log->warnings))
        std::printf("  %s\n", qPrintable(w));
    if (!m_serverFailure.isEmpty())
        std::printf("%s\n", qPrintable(m_serverFailure));
    // The server sends a connection's next message only once the other end has
    // acknowledged the last and 5 ms have passed, so two in one read mean that the reading
    // thread was more than that late: compare with the loop lag above.
    std::printf("messages merged into one read: %lld (a reading thread more than the server's "
                "gap late)\n",
                qlonglong(merged));
    if (linked > 0)
        std::printf("  on the link, frames holding more than one message: %lld; every link "
                    "terminal told the count of plain readers, %d at the end: %s\n",
                    qlonglong(mergedOn[1]), n - linked, yesNo(toldWrong == 0));
    if (m_shared.acknowledgeOnRead)
        std::printf("  plain reads holding more than one message: %lld (acknowledged once "
                    "read; measuring threads at worst %.0f ms late, %s); besides them %lld "
                    "behind a write of the terminal's own that acknowledged a message it had "
                    "not read yet\n",
                    qlonglong(mergedOn[0]), readingLag.max,
                    plainMergeExcused ? "so not counted against the server"
                                      : "so any is the server's",
                    qlonglong(mergedBehindWrite));
    for (const RestartCycle &c : m_restarts)
        ok = ok && c.ok();
    std::printf("everything delivered exactly once, in order, list empty at the end: %s\n",
                yesNo(ok));
    if (m_rounds > 0 && fanOut.count > 0)
        std::printf("fan-out p99, %d terminals (goal < %.0f ms): %.2f ms\n", n, kGoalMs,
                    fanOut.p99);
    else if (m_rounds > 0)
        std::printf("fan-out p99, %d terminals (goal < %.0f ms): not measured\n", n, kGoalMs);
    m_summary.ok = ok;
    m_summary.fanOut = fanOut;
    m_summary.lost = lost;
    m_summary.disconnections = errors;
    m_summary.peakMiB = mib(m_hwm);
    m_summary.plainFanOut = plainFanOut;
    m_summary.linkFanOut = linkFanOut;
    const Window *phases[3] = {&m_join, &m_chat, &m_leave};
    const qint64 sent[3] = {2 * squared, qint64(n) * m_rounds, squared};
    for (int i = 0; i < 3; ++i)
        m_summary.usPerMessage[i] =
            sent[i] > 0 ? double(phases[i]->serverCpuNs) / 1e3 / double(sent[i]) : 0.0;
    m_summary.connectS = m_connect.seconds();
    m_summary.connectServerUs = double(m_connect.serverCpuNs) / 1e3 / n;
    return ok ? 0 : 1;
}

int envInt(const char *name, int fallback, int low, int high)
{
    bool given = false;
    const int value = qEnvironmentVariable(name).toInt(&given);
    return given ? std::clamp(value, low, high) : fallback;
}

// The link's figures beside the plain ones; 1 if the link's fan-out was slower by more than
// the noise.
int compareLink(int terminals, const RunSummary &plain, const RunSummary &link,
                const RunSummary &plainAgain, const RunSummary &mixed)
{
    const double p99[3] = {plain.fanOut.p99, link.fanOut.p99, plainAgain.fanOut.p99};
    std::printf("%d terminals, plain / on the link / plain again: fan-out p50 %.2f / %.2f / "
                "%.2f ms, p99 %.2f / %.2f / %.2f ms\n",
                terminals, plain.fanOut.p50, link.fanOut.p50, plainAgain.fanOut.p50, p99[0], p99[1],
                p99[2]);
    std::printf("server CPU per message sent, plain / on the link: join %.1f / %.1f us, chat "
                "%.1f / %.1f us, leave %.1f / %.1f us\n",
                plain.usPerMessage[0], link.usPerMessage[0], plain.usPerMessage[1],
                link.usPerMessage[1], plain.usPerMessage[2], link.usPerMessage[2]);
    std::printf("connecting, plain (four connections a terminal, %d terminals a second) / on "
                "the link (one TLS handshake a terminal, all at once): %.2f / %.2f s; server CPU "
                "per terminal %.0f / %.0f us\n",
                kConnectRate, plain.connectS, link.connectS, plain.connectServerUs,
                link.connectServerUs);
    std::printf("mixed room, fan-out p99 at the plain / link terminals: %.2f / %.2f ms; "
                "everything exactly once, no plain read holding two messages: %s\n",
                mixed.plainFanOut.p99, mixed.linkFanOut.p99, mixed.ok ? "yes" : "NO");
    const bool measured =
        std::all_of(std::begin(p99), std::end(p99), [](double v) { return v > 0; });
    const double plainMean = (p99[0] + p99[2]) / 2;
    const double margin = std::max(std::abs(p99[0] - p99[2]), kLinkMarginShare * plainMean);
    const bool noSlower = measured && p99[1] <= plainMean + margin;
    if (measured)
        std::printf("fan-out p99 on the link against plain, %d terminals (goal: no slower than "
                    "the mean of the plain runs around it by more than they differ, at least "
                    "%.0f%% of it): %.2f against %.2f ms, margin %.2f ms: %s\n",
                    terminals, 100 * kLinkMarginShare, p99[1], plainMean, margin,
                    noSlower ? "no slower" : "SLOWER");
    else
        std::printf("fan-out p99 on the link against plain, %d terminals: not measured\n",
                    terminals);
    return noSlower ? 0 : 1;
}

} // namespace

// The LAN joining, chatting and leaving, with and without the acknowledgement wait, and
// beside hostile hosts.
int fanOutRuns(int terminals, int threadsWanted, const QString &serverNoGlib)
{
    const int threads = std::min(terminals, threadsWanted);
    int status = 0;
    // Plain, on the link, plain again: the link is judged against both plain runs around it,
    // which share whatever else the machine did meanwhile.
    RunSummary large[2];   // with the acknowledgement wait, without
    RunSummary plainAgain; // with it
    RunSummary link;
    const auto runOne = [&](const char *title, bool ackWait, Transport transport) {
        if (title)
            std::printf("\n%s\n", title);
        LoadRun run(terminals, threads, serverNoGlib, false, ackWait, {}, transport);
        status |= run.run();
        return run.summary();
    };
    large[0] = runOne(nullptr, true, Transport::Plain);
    link = runOne("=== the same on the encrypted link, one TLS connection a terminal", true,
                  Transport::Link);
    plainAgain =
        runOne("=== the same with the four plain connections again", true, Transport::Plain);
    large[1] = runOne("=== the same, each message sent once the last has left rather than "
                      "been acknowledged",
                      false, Transport::Plain);
    const RunSummary mixed =
        runOne("=== half of the terminals plain, half on the link", true, Transport::Mixed);
    std::printf("\n%d terminals, fan-out with the acknowledgement wait / without: p50 %.2f / "
                "%.2f ms, p99 %.2f / %.2f ms: p99 ratio %.2f\n",
                terminals, large[0].fanOut.p50, large[1].fanOut.p50, large[0].fanOut.p99,
                large[1].fanOut.p99,
                large[1].fanOut.p99 > 0 ? large[0].fanOut.p99 / large[1].fanOut.p99 : 0.0);
    status |= compareLink(terminals, large[0], link, plainAgain, mixed);

    // The same LAN, smaller, as it is, with the server not waiting for acknowledgements, and
    // with a hostile host beside it, each with a server of its own. With and without the
    // wait take turns, twice each, so that both see the same load from whatever else runs.
    const int honest = envInt("VORNEL_LOAD_HONEST", 200, 1, 1000);
    struct Variant
    {
        const char *title;
        bool hostile;
        bool ackWait;
    };
    const char *const withoutWait = "=== the same, each message sent once the last has left "
                                    "rather than been acknowledged";
    const Variant variants[] = {
        {"=== honest terminals alone", false, true},
        {withoutWait, false, false},
        {withoutWait, false, false},
        {"=== honest terminals alone, again", false, true},
        {"=== the same with a flooding and an idling host beside them", true, true},
    };
    RunSummary runs[std::size(variants)];
    for (size_t i = 0; i < std::size(variants); ++i) {
        std::printf("\n%s\n", variants[i].title);
        LoadRun run(honest, std::min(honest, threadsWanted), serverNoGlib, variants[i].hostile,
                    variants[i].ackWait);
        status |= run.run();
        runs[i] = run.summary();
    }
    const RunSummary &alone = runs[0], &attacked = runs[4];
    std::printf("\n%d honest terminals, alone / beside the hostile hosts: fan-out p50 %.2f / "
                "%.2f ms, p99 %.2f / %.2f ms; lines lost %lld / %lld; disconnections %d / %d; "
                "server peak memory %.1f / %.1f MiB\n",
                honest, alone.fanOut.p50, attacked.fanOut.p50, alone.fanOut.p99,
                attacked.fanOut.p99, qlonglong(alone.lost), qlonglong(attacked.lost),
                alone.disconnections, attacked.disconnections, alone.peakMiB, attacked.peakMiB);
    const bool measured = alone.fanOut.count > 0 && attacked.fanOut.count > 0;
    if (!measured || attacked.lost > 0 || attacked.disconnections > 0)
        status = 1;
    if (measured)
        std::printf("honest fan-out p99 beside a hostile host against alone (goal <= 1.5, "
                    "nothing lost, nobody disconnected): %.2f\n",
                    attacked.fanOut.p99 / alone.fanOut.p99);
    else
        std::printf("honest fan-out p99 beside a hostile host against alone (goal <= 1.5): not "
                    "measured\n");
    double p99[2] = {0, 0}; // without the wait, with it
    bool allMeasured = true;
    std::printf("%d honest terminals, fan-out p99 with the acknowledgement wait / without, run "
                "by run:",
                honest);
    for (size_t i = 0; i + 1 < std::size(variants); ++i) {
        allMeasured = allMeasured && runs[i].fanOut.count > 0;
        p99[variants[i].ackWait] += runs[i].fanOut.p99;
        std::printf(" %s %.2f ms", variants[i].ackWait ? "with" : "without", runs[i].fanOut.p99);
    }
    if (allMeasured && p99[0] > 0)
        std::printf("\nwaiting for each message's acknowledgement against not, mean fan-out p99 "
                    "%.2f / %.2f ms: %.2f\n",
                    p99[1] / 2, p99[0] / 2, p99[1] / p99[0]);
    else
        std::printf("\nwaiting for each message's acknowledgement against not: not measured\n");
    return status;
}

// What the restarts of one transport came to; times -1 where not measured.
struct RestartFigures
{
    int status = 0;
    double worst[2] = {-1, -1}; // all at once, spread
    qint64 merged[2] = {0, 0};
    double afterAttemptsS = -1; // from the last terminal's first attempt to every list whole
};

QString seconds(double s)
{
    return s < 0 ? QStringLiteral("not measured") : QStringLiteral("%1 s").arg(s, 0, 'f', 2);
}

// The server restarted under the LAN, the terminals trying again with the spread and without,
// taking turns; plain ones then once each with Qt's listen backlog.
RestartFigures restartRun(int terminals, int threads, const QString &serverNoGlib,
                          Transport transport)
{
    const bool link = transport == Transport::Link;
    std::printf("\n=== the server restarted under %d terminals%s\n", terminals,
                link ? " on the encrypted link" : "");
    std::vector<RestartCycle> cycles;
    for (const int backlog : link ? std::vector<int>{0, 0} : std::vector<int>{0, 0, kQtBacklog}) {
        for (const bool spread : {false, true}) {
            RestartCycle c;
            c.spread = spread;
            c.backlog = backlog;
            cycles.push_back(c);
        }
    }
    LoadRun run(terminals, threads, serverNoGlib, false, true, cycles, transport);
    RestartFigures f;
    f.status = run.run();
    // A cycle that lost, doubled or glued anything has no time to show.
    double worst[2] = {0, 0}; // all at once, spread
    double total[2] = {0, 0};
    int count[2] = {0, 0};
    bool failed[2] = {false, false};
    for (const RestartCycle &c : run.restarts()) {
        if (c.backlog > 0)
            continue;
        const double s = c.ok() ? c.seconds() : -1;
        failed[c.spread] = failed[c.spread] || s < 0;
        worst[c.spread] = std::max(worst[c.spread], s);
        total[c.spread] += s;
        ++count[c.spread];
        f.merged[c.spread] += c.merged();
        if (c.ok())
            f.afterAttemptsS = std::max(f.afterAttemptsS, c.secondsAfterAttempts());
    }
    for (const int spread : {0, 1}) {
        if (failed[spread] || count[spread] == 0)
            f.status = 1;
        else
            f.worst[spread] = worst[spread];
    }
    for (const RestartCycle &c : run.restarts()) {
        if (c.backlog > 0)
            std::printf("with Qt's listen backlog of %d, %s: every list whole after %s, %lld "
                        "SYNs dropped\n",
                        c.backlog, c.spread ? "spread" : "all at once",
                        qPrintable(seconds(c.ok() ? c.seconds() : -1)), qlonglong(c.listenDrops));
    }
    if (f.worst[0] > 0 && f.worst[1] > 0)
        std::printf("spread against all at once, mean of %d each: %.2f / %.2f s: %.2f\n", count[1],
                    total[1] / count[1], total[0] / count[0],
                    (total[1] / count[1]) / (total[0] / count[0]));
    // From the server's start, the terminals' own first wait (up to 3 s with its spread) is
    // most of a restart; this is what the server and the transport add to it.
    std::printf("from the last terminal's first attempt to every list whole, at worst: %s\n",
                qPrintable(seconds(f.afterAttemptsS)));
    return f;
}

int main(int argc, char **argv)
{
    const QString serverNoGlib =
        qEnvironmentVariableIsSet("QT_NO_GLIB") ? qEnvironmentVariable("QT_NO_GLIB") : QString();
    // The glib event dispatcher registers and unregisters socket notifiers in linear time,
    // which with a thousand sockets on a thread would make this process, the measuring
    // instrument, a bottleneck of its own.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const int terminals = envInt("VORNEL_LOAD_TERMINALS", 500, 1, 1000);
    const int threadsWanted = envInt("VORNEL_LOAD_THREADS", 2, 1, 16);
    const int threads = std::min(terminals, threadsWanted);
    int status = 0;
    if (qEnvironmentVariableIntValue("VORNEL_LOAD_RESTART_ONLY") == 0)
        status |= fanOutRuns(terminals, threadsWanted, serverNoGlib);
    const RestartFigures plain = restartRun(terminals, threads, serverNoGlib, Transport::Plain);
    const RestartFigures link = restartRun(terminals, threads, serverNoGlib, Transport::Link);
    status |= plain.status | link.status;
    std::printf("\nrestarts, plain / on the link, worst of each: spread %s / %s, all at once %s / "
                "%s; from the last terminal's first attempt to every list whole %s / %s\n",
                qPrintable(seconds(plain.worst[1])), qPrintable(seconds(link.worst[1])),
                qPrintable(seconds(plain.worst[0])), qPrintable(seconds(link.worst[0])),
                qPrintable(seconds(plain.afterAttemptsS)),
                qPrintable(seconds(link.afterAttemptsS)));
    std::printf("%d terminals listing everyone again after the server's restart, from its "
                "start, worst of each (goal <= %.0f s, the spread no slower than all at once; "
                "nothing lost or doubled): spread %s, all at once %s (reads merged behind a late "
                "measuring thread: %lld / %lld); on the encrypted link (goal <= %.0f s, nothing "
                "merged): spread %s, all at once %s\n",
                terminals, kRestartGoalS, qPrintable(seconds(plain.worst[1])),
                qPrintable(seconds(plain.worst[0])), qlonglong(plain.merged[1]),
                qlonglong(plain.merged[0]), kLinkRestartGoalS, qPrintable(seconds(link.worst[1])),
                qPrintable(seconds(link.worst[0])));
    return status;
}
