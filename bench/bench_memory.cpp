// Resident memory of the terminal: idle with its window shown, and what a long chat costs,
// against the size of the text itself. A plain program linked like the terminal, so that
// no extra library is counted in its memory.
#include "common/exposed.h"

#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <malloc.h>

#include <array>
#include <cstdio>

namespace {

constexpr int kLines = 100000;
constexpr int kLinesPerEventPass = 1000;

// VmRSS in bytes.
qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        qFatal("cannot read /proc/self/status");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    qFatal("no VmRSS in /proc/self/status");
}

struct Resident
{
    qint64 raw = 0;
    qint64 trimmed = 0;
};

// Freed heap the allocator still holds is returned first, so what is left is what is in use.
Resident measure()
{
    Resident r;
    r.raw = residentBytes();
    malloc_trim(0);
    r.trimmed = residentBytes();
    return r;
}

double mib(qint64 bytes)
{
    return double(bytes) / (1 << 20);
}

// The i-th of a chat's lines as the server relays it, about fifty characters.
QString chatLine(int i)
{
    static const std::array kNicks = {
        QStringLiteral("AYŞE"),    QStringLiteral("MEHMET"), QStringLiteral("GÜLŞEN"),
        QStringLiteral("İBRAHİM"), QStringLiteral("ÇAĞRI"),  QStringLiteral("ÖZLEM"),
    };
    static const std::array kMessages = {
        QStringLiteral("bugün akşam toplantı saat kaçta başlıyor?"),
        QStringLiteral("merhaba arkadaşlar, herkese günaydın dilerim"),
        QStringLiteral("yazıcı yine çalışmıyor, kağıt sıkışmış galiba"),
        QStringLiteral("öğle yemeğine kim geliyor? köşedeki lokanta"),
        QStringLiteral("dosyayı paylaşılan klasöre koydum, bakar mısın"),
        QStringLiteral("sunucuyu yeniden başlatıyorum, beş dakika sürer"),
        QStringLiteral("görüşmek üzere, hepinize iyi hafta sonları"),
        QStringLiteral("ışıklar gitti mi sizde de? İnternet de yok"),
    };
    const quint32 h = quint32(i) * 2654435761u;
    return QStringLiteral("<") + kNicks[(h >> 8) % kNicks.size()] + QStringLiteral("> ") +
           kMessages[(h >> 16) % kMessages.size()];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    Form1 form;
    form.show();
    if (!waitUntilExposed(&form))
        qFatal("the main window was never exposed");
    QCoreApplication::processEvents();
    const Resident idle = measure();

    auto *log = form.findChild<ChatLog *>(QStringLiteral("Text1"));
    if (!log)
        qFatal("no chat log");

    qint64 wireBytes = 0; // what the server sent: the lines, without the CR LF the log adds
    QElapsedTimer clock;
    clock.start();
    qint64 firstBatchNs = 0;
    qint64 lastBatchStart = 0;
    for (int i = 0; i < kLines; ++i) {
        if (i == kLines - kLinesPerEventPass)
            lastBatchStart = clock.nsecsElapsed();
        const QByteArray arrival = Cp1254::encode(chatLine(i));
        wireBytes += arrival.size();
        log->appendBytes(logLine(arrival));
        log->setSelStart(int(log->length()));
        if ((i + 1) % kLinesPerEventPass == 0) {
            QCoreApplication::processEvents();
            if (i + 1 == kLinesPerEventPass)
                firstBatchNs = clock.nsecsElapsed();
        }
    }
    const qint64 appendNs = clock.nsecsElapsed();
    const qint64 lastBatchNs = appendNs - lastBatchStart;
    const Resident full = measure();

    const QString &text = log->text();
    const qint64 loggedBytes = Cp1254::encode(text).size();
    const qint64 utf8Bytes = text.toUtf8().size();
    const qint64 utf16Bytes = text.size() * qint64(sizeof(QChar));
    const qint64 growth = full.trimmed - idle.trimmed;

    std::printf("resident memory read from VmRSS, each time before and after malloc_trim(0)\n");
    std::printf("idle, main window shown: %.1f MiB (%.1f MiB before trimming; goal < 60 MiB)\n",
                mib(idle.trimmed), mib(idle.raw));
    std::printf("after %d lines: %.1f MiB (%.1f MiB before trimming), appended in %.2f s\n", kLines,
                mib(full.trimmed), mib(full.raw), double(appendNs) / 1e9);
    std::printf("%d lines with their event pass: first %.1f ms, last %.1f ms\n", kLinesPerEventPass,
                double(firstBatchNs) / 1e6, double(lastBatchNs) / 1e6);
    std::printf("text on the wire (cp1254, no CR LF): %.2f MiB, %.1f bytes a line\n",
                mib(wireBytes), double(wireBytes) / kLines);
    std::printf("text in the log: cp1254 %.2f MiB, UTF-8 %.2f MiB, UTF-16 %.2f MiB"
                " (the log's own copy holds room for %.2f MiB)\n",
                mib(loggedBytes), mib(utf8Bytes), mib(utf16Bytes),
                mib(text.capacity() * qint64(sizeof(QChar))));
    std::printf("document: %d blocks, %d characters\n", log->document()->blockCount(),
                log->document()->characterCount());
    std::printf("growth: %.1f MiB, %.0f bytes a line; / UTF-16 size = %.2f\n", mib(growth),
                double(growth) / kLines, double(growth) / double(utf16Bytes));
    std::printf("growth / text on the wire (cp1254 bytes received, goal < 3): %.2f\n",
                double(growth) / double(wireBytes));
    return 0;
}
