#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

// Log lines about source addresses, so that no one address can fill the log: after a burst,
// at most one line a second per address, the lines left out counted in it. Warnings have a
// budget of their own, so that what an address does wrong is not hidden by its comings
// and goings.
class HostLog : public QObject
{
    Q_OBJECT

public:
    explicit HostLog(QObject *parent = nullptr);

    void setBurst(int lines) { m_burst = std::max(1, lines); }
    void info(const QString &host, const QString &line) { write(host, line, false); }
    void warning(const QString &host, const QString &line) { write(host, line, true); }

private:
    struct State
    {
        double tokens = 0;
        qint64 lastMs = 0;
        int leftOut = 0;
        QString lastLeftOut;
    };

    void write(const QString &host, const QString &line, bool warning);
    void refill(State &state, qint64 nowMs) const;
    void summarise();

    // Keyed by the address and whether the lines are warnings.
    QHash<QPair<QString, bool>, State> m_hosts;
    QElapsedTimer m_clock;
    QTimer m_summary;
    int m_burst = 20;
};
