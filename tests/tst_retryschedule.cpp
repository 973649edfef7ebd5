// When a lost connection is tried again: the waits, their spread, and starting afresh.
#include "channels/retryschedule.h"

#include <QSet>
#include <QtTest>

class TestRetrySchedule : public QObject
{
    Q_OBJECT

private slots:
    void waitsDoubleToTheCapWithinTheirSpread();
    void terminalsSpreadTheirWaits();
    void startsAfreshOnlyAfterStayingUp();
};

void TestRetrySchedule::waitsDoubleToTheCapWithinTheirSpread()
{
    const qint64 nominal[] = {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
    // The random source at its two ends and in the middle.
    for (const double r : {0.0, 0.5, 0.999999}) {
        RetrySchedule schedule([] { return qint64(0); }, [r] { return r; });
        for (const qint64 n : nominal) {
            const qint64 wait = schedule.nextWaitMs();
            QVERIFY2(
                wait >= n / 2 && wait < n * 3 / 2,
                qPrintable(QStringLiteral("%1 ms for %2 ms, random %3").arg(wait).arg(n).arg(r)));
            if (r == 0.0)
                QCOMPARE(wait, n / 2);
            if (r == 0.5)
                QCOMPARE(wait, n);
        }
    }
    QCOMPARE(RetrySchedule::nominalWaitMs(40), RetrySchedule::LongestWaitMs);
}

void TestRetrySchedule::terminalsSpreadTheirWaits()
{
    // A LAN of terminals losing the server together: their first attempts spread over 1-3 s.
    QSet<qint64> firsts;
    qint64 low = 3000, high = 0;
    for (int i = 0; i < 500; ++i) {
        RetrySchedule schedule([] { return qint64(0); }, &RetrySchedule::systemRandom);
        const qint64 wait = schedule.nextWaitMs();
        QVERIFY(wait >= 1000 && wait < 3000);
        firsts.insert(wait);
        low = std::min(low, wait);
        high = std::max(high, wait);
    }
    QVERIFY2(firsts.size() > 400, qPrintable(QString::number(firsts.size())));
    QVERIFY(low < 1200 && high > 2800);
}

void TestRetrySchedule::startsAfreshOnlyAfterStayingUp()
{
    qint64 now = 0;
    RetrySchedule schedule([&now] { return now; }, [] { return 0.5; });
    QCOMPARE(schedule.nextWaitMs(), 2000);
    QCOMPARE(schedule.nextWaitMs(), 4000);
    // Back, but ended again at once (a server that drops us): the waits go on growing.
    schedule.succeeded();
    now += RetrySchedule::StableMs - 1;
    QCOMPARE(schedule.nextWaitMs(), 8000);
    // Back and up long enough: the next end starts from the first wait.
    schedule.succeeded();
    now += RetrySchedule::StableMs;
    QCOMPARE(schedule.nextWaitMs(), 2000);
    QCOMPARE(schedule.nextWaitMs(), 4000);
    // A session that came up once does not reset a later failed attempt's wait.
    now += 10 * RetrySchedule::StableMs;
    QCOMPARE(schedule.nextWaitMs(), 8000);
    schedule.reset();
    QCOMPARE(schedule.nextWaitMs(), 2000);
}

QTEST_GUILESS_MAIN(TestRetrySchedule)
#include "tst_retryschedule.moc"
