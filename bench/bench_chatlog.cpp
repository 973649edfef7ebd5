// The cost of one chat arrival as the log grows: appending in place against rewriting the
// whole text (old text + arrival) on every arrival. What is timed is the arrival's own work;
// drawing the widget happens once per frame, not once per arrival, and costs the same for a
// log of any length, so it runs between iterations, untimed, to keep the widget realistic.
#include "common/benchmain.h"
#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "ui/main/chatlog.h"

#include <QApplication>
#include <QPlainTextEdit>

namespace {

const QString kLine = QStringLiteral("<KULLANICI> bugün akşam toplantı saat kaçta başlıyor?");

// A shown log already holding `lines` lines.
struct FilledLog
{
    explicit FilledLog(int lines)
    {
        log.resize(412, 340);
        QString text;
        text.reserve(qsizetype(lines) * (kLine.size() + 2));
        for (int i = 0; i < lines; ++i)
            text += kLine + QStringLiteral("\r\n");
        log.setText(text);
        log.show();
        QApplication::processEvents();
    }
    ChatLog log;
};

void BM_AppendInPlace(benchmark::State &state)
{
    FilledLog f(int(state.range(0)));
    // As the session hands it over: the bytes that came.
    const QByteArray arrival = Cp1254::encode(kLine);
    for (auto _ : state) {
        f.log.appendBytes(logLine(arrival));
        f.log.setSelStart(int(f.log.length()));
        state.PauseTiming();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}

// The literal way: the log's whole text replaced by the old text and the arrival, in a plain
// text box holding one paragraph a line.
void BM_RewriteWholeText(benchmark::State &state)
{
    QPlainTextEdit log;
    log.resize(412, 340);
    log.setReadOnly(true);
    log.setUndoRedoEnabled(false);
    QString text;
    for (int i = 0; i < state.range(0); ++i)
        text += kLine + QStringLiteral("\r\n");
    log.setPlainText(text);
    log.show();
    QApplication::processEvents();
    const QString piece = kLine + QStringLiteral("\r\n");
    for (auto _ : state) {
        text += piece;
        log.setPlainText(text);
        log.moveCursor(QTextCursor::End);
        state.PauseTiming();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_AppendInPlace)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RewriteWholeText)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20);

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, [](const Timings &t) {
        printRatio(t, "flat cost (goal <= 1.5)", "BM_AppendInPlace/100000", "BM_AppendInPlace/10");
        printRatio(t, "speed-up at 20k lines (goal >= 100)",
                   "BM_RewriteWholeText/20000/iterations:20", "BM_AppendInPlace/20000");
    });
}
