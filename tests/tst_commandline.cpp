// The program's command line, the window platform it starts on, and starting it where no
// window can be shown.
#include "ui/platform/displayplatform.h"
#include "ui/platform/waylandsocket.h"

#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
    void prefersXWhereThereIsOne_data();
    void prefersXWhereThereIsOne();
    void findsTheCompositorAsLibwaylandDoes();
    void qtOptionsInEitherSpelling();

private:
    // Nothing listens here: an XDG_RUNTIME_DIR without a compositor.
    QTemporaryDir m_runtimeDir;
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
    // Whether or not Qt's Wayland platform is installed, it is never loaded for a compositor
    // that cannot answer: one line of ours and status 1, nothing from libwayland or Qt.
    const QString socket = QStringLiteral("WAYLAND_DISPLAY=vornel-no-compositor");
    const QString runtimeDir = QStringLiteral("XDG_RUNTIME_DIR=") + m_runtimeDir.path();
    QTest::newRow("only a Wayland socket, XDG_RUNTIME_DIR unset")
        << QStringList() << 1 << QByteArray()
        << QByteArray("vornel: the window cannot be shown: DISPLAY is not set, and no Wayland "
                      "compositor answers at WAYLAND_DISPLAY=vornel-no-compositor "
                      "(XDG_RUNTIME_DIR is not set).\n")
        << QStringList{socket};
    QTest::newRow("only a Wayland socket, nothing answering")
        << QStringList() << 1 << QByteArray()
        << DisplayPlatform({{}, {}, "vornel-no-compositor"}).failure()
        << QStringList{socket, runtimeDir};
    QTest::newRow("an absolute WAYLAND_DISPLAY that is no socket")
        << QStringList() << 1 << QByteArray() << DisplayPlatform({{}, {}, "/dev/null"}).failure()
        << QStringList{QStringLiteral("WAYLAND_DISPLAY=/dev/null")};
    QTest::newRow("no X server, no Wayland")
        << QStringList() << 1 << QByteArray()
        << DisplayPlatform({{}, ":4093", "vornel-no-compositor", false, false, false}).failure()
        << QStringList{QStringLiteral("DISPLAY=:4093"), socket};
}

void TestCommandLine::answersWithoutADisplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QStringList, env);
    QVERIFY(m_runtimeDir.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR",
                             "XDG_SESSION_TYPE", "QT_QPA_PLATFORM"})
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
    QTest::addColumn<bool>("compositorAnswers");
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<bool>("hasDisplay");
    const QByteArray none;
    QTest::newRow("X and Wayland") << none << QByteArray(":0") << QByteArray("wayland-0") << false
                                   << true << QByteArray("xcb;wayland") << true;
    QTest::newRow("X and a silent Wayland socket")
        << none << QByteArray(":0") << QByteArray("wayland-0") << false << false
        << QByteArray("xcb") << true;
    QTest::newRow("X only") << none << QByteArray(":0") << none << false << false
                            << QByteArray("xcb") << true;
    QTest::newRow("Wayland only") << none << none << QByteArray("wayland-0") << false << true
                                  << QByteArray("wayland") << true;
    QTest::newRow("a silent Wayland socket only")
        << none << none << QByteArray("wayland-0") << false << false << none << false;
    QTest::newRow("the user's QT_QPA_PLATFORM")
        << QByteArray("wayland") << QByteArray(":0") << QByteArray("wayland-0") << false << true
        << none << true;
    QTest::newRow("the user's QT_QPA_PLATFORM, nothing else")
        << QByteArray("vnc") << none << none << false << false << none << true;
    QTest::newRow("the user's -platform")
        << none << none << QByteArray("wayland-0") << true << false << none << true;
    QTest::newRow("neither") << none << none << none << false << false << none << false;
}

void TestCommandLine::prefersXWhereThereIsOne()
{
    QFETCH(QByteArray, qpaPlatform);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(bool, platformOption);
    QFETCH(bool, compositorAnswers);
    QFETCH(QByteArray, platform);
    QFETCH(bool, hasDisplay);
    const DisplayPlatform choice(
        {qpaPlatform, display, wayland, platformOption, compositorAnswers});
    QCOMPARE(choice.platform(), platform);
    QCOMPARE(choice.hasDisplay(), hasDisplay);

    const QByteArray before = qgetenv("QT_QPA_PLATFORM");
    choice.apply();
    QCOMPARE(qgetenv("QT_QPA_PLATFORM"), platform.isEmpty() ? before : platform);
    qputenv("QT_QPA_PLATFORM", before);
}

void TestCommandLine::findsTheCompositorAsLibwaylandDoes()
{
    QCOMPARE(WaylandSocket::path("wayland-1", "/run/user/7"), QByteArray("/run/user/7/wayland-1"));
    QCOMPARE(WaylandSocket::path("/tmp/w", {}), QByteArray("/tmp/w"));
    QCOMPARE(WaylandSocket::path("wayland-1", {}), QByteArray());
    QCOMPARE(WaylandSocket::path("wayland-1", "run/user/7"), QByteArray());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray runtimeDir = QFile::encodeName(dir.path());
    const QByteArray socket = runtimeDir + "/wayland-7";
    QLocalServer compositor;
    QVERIFY(compositor.listen(QString::fromLocal8Bit(socket)));
    const auto answering = [&](const QByteArray &waylandDisplay, const QByteArray &xdg) {
        qputenv("WAYLAND_DISPLAY", waylandDisplay);
        if (xdg.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", xdg);
        char name[] = "vornel";
        char *argv[] = {name, nullptr};
        return DisplayPlatform::ofProcess(1, argv).compositorAnswers;
    };
    QVERIFY(answering("wayland-7", runtimeDir));
    QVERIFY(answering(socket, QByteArray()));
    QVERIFY(!answering("wayland-7", QByteArray()));
    QVERIFY(!answering("wayland-8", runtimeDir));
    QVERIFY(!answering(runtimeDir, runtimeDir)); // a directory
    compositor.close();
    QVERIFY(!answering("wayland-7", runtimeDir));
    // The socket a compositor that crashed left behind: there, but nobody listens.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.constData());
    QCOMPARE(::bind(stale, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QVERIFY(!answering("wayland-7", runtimeDir));
    ::close(stale);
}

void TestCommandLine::qtOptionsInEitherSpelling()
{
    const auto scanned = [](std::initializer_list<const char *> args) {
        QList<QByteArray> copies{"vornel"};
        for (const char *a : args)
            copies.append(a);
        QList<char *> argv;
        for (QByteArray &c : copies)
            argv.append(c.data());
        argv.append(nullptr);
        return DisplayPlatform::ofProcess(int(copies.size()), argv.data()).platformOption;
    };
    QVERIFY(scanned({"-platform", "offscreen"}));
    QVERIFY(scanned({"--platform", "offscreen"}));
    QVERIFY(scanned({"-stylesheet", "x", "-display", ":1"}));
    QVERIFY(scanned({"--display", ":1"}));
    QVERIFY(!scanned({}));
    QVERIFY(!scanned({"---platform", "x", "-platformx", "platform", "-displays"}));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
