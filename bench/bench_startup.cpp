// Start-up to the main window on screen, against a bare window with one label: first inside
// one process (construct, show, exposed), then as whole processes started from nothing.
// The two kinds alternate so that a busy machine slows both alike.
#include "common/benchmain.h"
#include "ui/main/form1.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

struct Samples
{
    std::vector<double> form1;
    std::vector<double> minimal;
};
Samples inProcess;
Samples newProcess;
// The stages of a new process: at main() and after QApplication, each kind.
Samples atMain;
Samples atApp;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nanoseconds from construction to the window exposed; the window is destroyed afterwards,
// untimed, and its deferred deletions done before the next round.
template <typename Window, typename Make> double timeShown(Make make)
{
    QElapsedTimer clock;
    clock.start();
    double ns = 0;
    {
        Window window;
        make(window);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            qFatal("window never exposed");
        ns = double(clock.nsecsElapsed());
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return ns;
}

double showForm1()
{
    return timeShown<Form1>([](Form1 &) {});
}

double showMinimal()
{
    return timeShown<QMainWindow>(
        [](QMainWindow &w) { w.setCentralWidget(new QLabel(QStringLiteral("Merhaba"), &w)); });
}

void BM_ShownInProcess(benchmark::State &state)
{
    inProcess = {};
    for (auto _ : state) {
        const double a = showForm1();
        const double b = showMinimal();
        inProcess.form1.push_back(a);
        inProcess.minimal.push_back(b);
        state.SetIterationTime((a + b) / 1e9);
    }
    state.counters["form1_ms"] = median(inProcess.form1) / 1e6;
    state.counters["minimal_ms"] = median(inProcess.minimal) / 1e6;
}

struct ProbeRun
{
    double main = 0;
    double app = 0;
    double shown = 0;
};

// One whole process, from just before it is spawned to its window exposed.
ProbeRun runProbe(const QString &mode)
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(env);
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/startup_probe");
    const qint64 spawned = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    probe.start(program, {mode, QString::number(spawned)});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        qFatal("%s %s failed: %s", qPrintable(program), qPrintable(mode),
               qPrintable(probe.errorString()));
    const QList<QByteArray> f = probe.readAllStandardOutput().simplified().split(' ');
    if (f.size() != 6 || f[0] != "main" || f[2] != "app" || f[4] != "shown")
        qFatal("startup_probe said something unexpected");
    return {f[1].toDouble(), f[3].toDouble(), f[5].toDouble()};
}

void BM_ShownNewProcess(benchmark::State &state)
{
    newProcess = atMain = atApp = {};
    // Once each first, so that neither pays alone for loading the libraries from disk.
    runProbe(QStringLiteral("form1"));
    runProbe(QStringLiteral("minimal"));
    for (auto _ : state) {
        const ProbeRun a = runProbe(QStringLiteral("form1"));
        const ProbeRun b = runProbe(QStringLiteral("minimal"));
        newProcess.form1.push_back(a.shown);
        newProcess.minimal.push_back(b.shown);
        atMain.form1.push_back(a.main);
        atMain.minimal.push_back(b.main);
        atApp.form1.push_back(a.app);
        atApp.minimal.push_back(b.app);
        state.SetIterationTime((a.shown + b.shown) / 1e9);
    }
    state.counters["form1_ms"] = median(newProcess.form1) / 1e6;
    state.counters["minimal_ms"] = median(newProcess.minimal) / 1e6;
}

void printPair(const char *what, const Samples &s)
{
    std::printf("%s (median of %zu): Form1 %.2f ms, minimal %.2f ms\n", what, s.form1.size(),
                median(s.form1) / 1e6, median(s.minimal) / 1e6);
}

} // namespace

BENCHMARK(BM_ShownInProcess)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShownNewProcess)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, [](const Timings &) {
        printPair("in process, construct to exposed", inProcess);
        printPair("new process, spawn to main()", atMain);
        printPair("new process, spawn to QApplication made", atApp);
        printPair("new process, spawn to exposed", newProcess);
        const double in = median(inProcess.minimal);
        if (in > 0)
            std::printf("in process Form1 / minimal (goal <= 1.3): %.2f\n",
                        median(inProcess.form1) / in);
        const double whole = median(newProcess.minimal);
        if (whole > 0)
            std::printf("whole process start-up Form1 / minimal: %.2f\n",
                        median(newProcess.form1) / whole);
        else
            std::printf("whole process start-up Form1 / minimal: not measured\n");
    });
}
