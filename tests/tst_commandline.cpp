// The program's command line, the window platform it starts on, and starting it where no
// window can be shown.
#include "ui/platform/displayplatform.h"

#include <QProcess>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
    void prefersXWhereThereIsOne_data();
    void prefersXWhereThereIsOne();
};

void TestCommandLine::answersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QStringList>("env");
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0
                               << QByteArray("vornel " VORNEL_VERSION "\n") << QByteArray()
                               << QStringList();
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0
                            << QByteArray("Usage: vornel [--help] [--version]") << QByteArray()
                            << QStringList();
    QTest::newRow("no display")
        << QStringList() << 1 << QByteArray()
        << QByteArray("vornel: no graphical session to show the window in: neither DISPLAY nor "
                      "WAYLAND_DISPLAY is set.\n")
        << QStringList();
    // Whether Qt lacks its Wayland platform or finds no compositor, it ends in one line of
    // ours and status 1, not in plugin messages and an abort.
    const QByteArray socket = "vornel-no-compositor";
    QTest::newRow("only a Wayland socket, nothing answering")
        << QStringList() << 1 << QByteArray() << DisplayPlatform({{}, {}, socket}).failure()
        << QStringList{QStringLiteral("WAYLAND_DISPLAY=") + QLatin1StringView(socket)};
    QTest::newRow("no X server, no Wayland")
        << QStringList() << 1 << QByteArray() << DisplayPlatform({{}, ":4093", socket}).failure()
        << QStringList{QStringLiteral("DISPLAY=:4093"),
                       QStringLiteral("WAYLAND_DISPLAY=") + QLatin1StringView(socket)};
}

void TestCommandLine::answersWithoutADisplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QStringList, env);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1StringView(name));
    for (const QString &variable : std::as_const(env))
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    QProcess vornel;
    vornel.setProcessEnvironment(environment);
    vornel.start(QStringLiteral(VORNEL_PROGRAM), args);
    QVERIFY(vornel.waitForFinished());
    QCOMPARE(vornel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vornel.exitCode(), exitCode);
    QVERIFY(vornel.readAllStandardOutput().startsWith(out));
    QCOMPARE(vornel.readAllStandardError(), err);
}

void TestCommandLine::prefersXWhereThereIsOne_data()
{
    QTest::addColumn<QByteArray>("qpaPlatform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<bool>("platformOption");
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<bool>("hasDisplay");
    QTest::newRow("X and Wayland") << QByteArray() << QByteArray(":0") << QByteArray("wayland-0")
                                   << false << QByteArray("xcb;wayland") << true;
    QTest::newRow("X only") << QByteArray() << QByteArray(":0") << QByteArray() << false
                            << QByteArray("xcb") << true;
    QTest::newRow("Wayland only") << QByteArray() << QByteArray() << QByteArray("wayland-0")
                                  << false << QByteArray("wayland") << true;
    QTest::newRow("the user's QT_QPA_PLATFORM")
        << QByteArray("wayland") << QByteArray(":0") << QByteArray("wayland-0") << false
        << QByteArray() << true;
    QTest::newRow("the user's QT_QPA_PLATFORM, nothing else")
        << QByteArray("vnc") << QByteArray() << QByteArray() << false << QByteArray() << true;
    QTest::newRow("the user's -platform")
        << QByteArray() << QByteArray(":0") << QByteArray("wayland-0") << true << QByteArray()
        << true;
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray() << false
                             << QByteArray() << false;
}

void TestCommandLine::prefersXWhereThereIsOne()
{
    QFETCH(QByteArray, qpaPlatform);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(bool, platformOption);
    QFETCH(QByteArray, platform);
    QFETCH(bool, hasDisplay);
    const DisplayPlatform choice({qpaPlatform, display, wayland, platformOption});
    QCOMPARE(choice.platform(), platform);
    QCOMPARE(choice.hasDisplay(), hasDisplay);

    const QByteArray before = qgetenv("QT_QPA_PLATFORM");
    choice.apply();
    QCOMPARE(qgetenv("QT_QPA_PLATFORM"), platform.isEmpty() ? before : platform);
    qputenv("QT_QPA_PLATFORM", before);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
