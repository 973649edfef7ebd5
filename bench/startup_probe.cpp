// Started by bench_startup: brings up one window the way a program does and says how long
// after its own spawning each stage was reached. The spawner passes the steady-clock time
// just before it started us, since the kernel's own start time of a process only counts
// in 10 ms ticks.
//
//   startup_probe form1|minimal <spawn time, steady clock ns> [NAME]
//   prints: main <ns> app <ns> shown <ns>
// With NAME, the main window then waits until it offers the server announced under that
// name, and adds: offered <ns>.
#include "common/exposed.h"

#include "ui/main/form1.h"

#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

qint64 now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 atMain = now();
    if (argc < 3 || argc > 4 ||
        (std::strcmp(argv[1], "form1") != 0 && std::strcmp(argv[1], "minimal") != 0)) {
        std::fprintf(stderr, "usage: startup_probe form1|minimal <spawn time ns> [NAME]\n");
        return 2;
    }
    const bool form1 = std::strcmp(argv[1], "form1") == 0;
    const qint64 spawned = std::strtoll(argv[2], nullptr, 10);

    QApplication app(argc, argv);
    const qint64 atApp = now();

    std::unique_ptr<QWidget> window;
    if (form1) {
        // As the program's own main() does.
        QApplication::setApplicationName(QStringLiteral("vornel"));
        QApplication::setApplicationVersion(QStringLiteral(VORNEL_VERSION));
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/vornel/vornel.ico")));
        window = std::make_unique<Form1>();
    } else {
        auto *minimal = new QMainWindow;
        minimal->setCentralWidget(new QLabel(QStringLiteral("Merhaba"), minimal));
        window.reset(minimal);
    }
    window->show();
    if (!waitUntilExposed(window.get())) {
        std::fprintf(stderr, "startup_probe: window never exposed\n");
        return 1;
    }
    const qint64 atShown = now();

    std::printf("main %lld app %lld shown %lld", atMain - spawned, atApp - spawned,
                atShown - spawned);
    if (auto *form = dynamic_cast<Form1 *>(window.get()); form && argc == 4) {
        const QString name = QString::fromLocal8Bit(argv[3]);
        QEventLoop wait;
        QObject::connect(&form->servers(), &ServerBrowser::serversChanged, &wait, [&] {
            if (form->servers().find(name))
                wait.quit();
        });
        QTimer::singleShot(20000, &wait, [&wait] { wait.exit(1); });
        if (!form->servers().find(name) && wait.exec() != 0) {
            std::fprintf(stderr, "startup_probe: %s never offered\n", argv[3]);
            return 1;
        }
        std::printf(" offered %lld", now() - spawned);
    }
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}
