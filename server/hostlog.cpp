#include "hostlog.h"

#include "serverlog.h"

using namespace std::chrono_literals;

HostLog::HostLog(QObject *parent) : QObject(parent), m_summary(this)
{
    m_clock.start();
    m_summary.setInterval(1s);
    connect(&m_summary, &QTimer::timeout, this, &HostLog::summarise);
}

void HostLog::refill(State &state, qint64 nowMs) const
{
    state.tokens = std::min<double>(m_burst, state.tokens + double(nowMs - state.lastMs) / 1000);
    state.lastMs = nowMs;
}

void HostLog::write(const QString &host, const QString &line, bool warning)
{
    const qint64 now = m_clock.elapsed();
    const QPair<QString, bool> key(host, warning);
    auto it = m_hosts.find(key);
    if (it == m_hosts.end())
        it = m_hosts.insert(key, State{double(m_burst), now, 0, {}});
    State &state = *it;
    refill(state, now);
    if (state.leftOut == 0 && state.tokens >= 1) {
        state.tokens -= 1;
        if (warning)
            qCWarning(lcServer).noquote() << line;
        else
            qCInfo(lcServer).noquote() << line;
    } else {
        ++state.leftOut;
        state.lastLeftOut = line;
    }
    if (!m_summary.isActive())
        m_summary.start();
}

void HostLog::summarise()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_hosts.begin(); it != m_hosts.end();) {
        State &state = *it;
        refill(state, now);
        if (state.leftOut > 0 && state.tokens >= 1) {
            state.tokens -= 1;
            const bool warning = it.key().second;
            const QString line =
                QStringLiteral("%1: %2 more %3 about this address left out, the last: %4")
                    .arg(it.key().first)
                    .arg(state.leftOut)
                    .arg(warning ? QStringLiteral("warnings") : QStringLiteral("lines"))
                    .arg(state.lastLeftOut);
            if (warning)
                qCWarning(lcServer).noquote() << line;
            else
                qCInfo(lcServer).noquote() << line;
            state.leftOut = 0;
            state.lastLeftOut.clear();
        }
        if (state.leftOut == 0 && state.tokens >= m_burst)
            it = m_hosts.erase(it);
        else
            ++it;
    }
    if (m_hosts.isEmpty())
        m_summary.stop();
}
