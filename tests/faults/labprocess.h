#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// A program running on one machine of the fault lab, started through `ip netns exec`, which
// becomes the program itself: signals sent to it reach the program.
class LabProcess : public QObject
{
    Q_OBJECT

public:
    LabProcess(const QString &netns, const QString &program, const QStringList &arguments,
               QObject *parent = nullptr);
    // Killed, even when stopped.
    ~LabProcess() override;

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    void signal(int number);
    void writeLine(const QString &line);

    // What it wrote, each stream as one text.
    QString output() const { return QString::fromUtf8(m_output); }
    QString errors() const { return QString::fromUtf8(m_errors); }
    // Its output lines, the newline left off.
    QList<QByteArray> outputLines() const;

private:
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_errors;
};
