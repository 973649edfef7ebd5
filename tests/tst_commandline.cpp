// The program's command line, and starting it where there is no display.
#include <QProcess>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
};

void TestCommandLine::answersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0
                               << QByteArray("vornel " VORNEL_VERSION "\n") << QByteArray();
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0
                            << QByteArray("Usage: vornel [--help] [--version]") << QByteArray();
    QTest::newRow("no display")
        << QStringList() << 1 << QByteArray()
        << QByteArray("vornel: no graphical session to show the window in: neither DISPLAY nor "
                      "WAYLAND_DISPLAY is set.\n");
}

void TestCommandLine::answersWithoutADisplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1StringView(name));
    QProcess vornel;
    vornel.setProcessEnvironment(env);
    vornel.start(QStringLiteral(VORNEL_PROGRAM), args);
    QVERIFY(vornel.waitForFinished());
    QCOMPARE(vornel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vornel.exitCode(), exitCode);
    QVERIFY(vornel.readAllStandardOutput().startsWith(out));
    QCOMPARE(vornel.readAllStandardError(), err);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
