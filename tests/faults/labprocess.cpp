#include "labprocess.h"

#include <csignal>

LabProcess::LabProcess(const QString &netns, const QString &program, const QStringList &arguments,
                       QObject *parent)
    : QObject(parent), m_process(this)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this,
            [this] { m_output += m_process.readAllStandardOutput(); });
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_errors += m_process.readAllStandardError(); });
    m_process.start(QStringLiteral("ip"),
                    QStringList{QStringLiteral("netns"), QStringLiteral("exec"), netns, program} +
                        arguments);
    m_process.waitForStarted();
}

LabProcess::~LabProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}

void LabProcess::signal(int number)
{
    if (const qint64 pid = m_process.processId(); pid > 0)
        ::kill(pid_t(pid), number);
}

void LabProcess::writeLine(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
}

QList<QByteArray> LabProcess::outputLines() const
{
    QList<QByteArray> lines = m_output.split('\n');
    lines.removeLast(); // what follows the last newline: nothing, or a line not yet whole
    return lines;
}
