#include "logcapture.h"

#include <QByteArrayView>

#include <algorithm>

namespace {

QStringList captured;
QtMessageHandler previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArrayView(context.category) == "vornel.server")
        captured.append(message);
    else if (previous)
        previous(type, context, message);
}

} // namespace

LogCapture::LogCapture()
{
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    captured.clear();
}

const QStringList &LogCapture::lines() const
{
    return captured;
}

bool LogCapture::contains(const QString &text) const
{
    return std::any_of(captured.cbegin(), captured.cend(),
                       [&text](const QString &line) { return line.contains(text); });
}

void LogCapture::clear()
{
    captured.clear();
}
