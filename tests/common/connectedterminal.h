#pragma once

#include "channels/winsock.h"
#include "common/fakeserver.h"
#include "common/formaccess.h"
#include "protocol/chatline.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"

#include <QLineEdit>
#include <QListView>
#include <QtTest>

// The log lines of a join notice the server made and of a departure.
inline QString joinedLine(QStringView nickname)
{
    return nickname + JoinSuffix + QStringLiteral("\r\n");
}

inline QString leftLine(QStringView nickname)
{
    return nickname + LeaveSuffix + QStringLiteral("\r\n");
}

// The window's four channels have taken their own connected events: a server that accepted
// them all says nothing of that yet, and a line sent before is refused with a box.
inline bool channelsUp(const Form1 &form)
{
    for (const char *name : {"Winsock1", "Winsock2", "Winleft", "Winjoin"}) {
        if (!control<Winsock>(&form, name)->isConnected())
            return false;
    }
    return true;
}

// A main window told to connect to a server, and what tests read from it.
struct Terminal
{
    Terminal(const QString &nick, const QString &server)
    {
        control<QLineEdit>(&form, "TxtNick")->setText(nick);
        control<QLineEdit>(&form, "Text3")->setText(server);
        form.CmdConnect_Click();
    }

    ChatLog *log() const { return control<ChatLog>(&form, "Text1"); }
    QLineEdit *entry() const { return control<QLineEdit>(&form, "Text2"); }
    QListView *list() const { return control<QListView>(&form, "List1"); }

    QStringList entries() const
    {
        QStringList e;
        const QAbstractItemModel *m = list()->model();
        for (int i = 0; i < m->rowCount(); ++i)
            e.append(m->index(i, 0).data().toString());
        return e;
    }

    int selected() const
    {
        const QModelIndexList rows = list()->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }

    void say(const QString &line) const
    {
        entry()->setText(line);
        form.Command1_Click();
    }

    mutable Form1 form;
};

struct ListeningServer
{
    explicit ListeningServer(const QString &address) : server(address)
    {
        if (!server.listen())
            qFatal("fake server cannot listen on %s", qPrintable(address));
    }
    FakeServer server;
};

// A terminal connected to its own fake server, all four channels open and announced.
struct ConnectedTerminal : ListeningServer, Terminal
{
    explicit ConnectedTerminal(const QString &address, const QString &nick = QStringLiteral("ALI"))
        : ListeningServer(address), Terminal(nick, address)
    {
        if (!QTest::qWaitFor([this] { return server.terminalConnected() && channelsUp(form); }))
            qFatal("terminal did not connect to %s", qPrintable(address));
    }

    // Sends one arrival on a port and waits until the terminal has taken it, so that
    // two sends never arrive as one.
    void arrive(quint16 port, const QByteArray &bytes)
    {
        const QString before = log()->text();
        const int rows = list()->model()->rowCount();
        server.send(port, bytes);
        QVERIFY2(QTest::qWaitFor([&] {
                     return port == FakeServer::UserList ? list()->model()->rowCount() != rows
                                                         : log()->text() != before;
                 }),
                 qPrintable(QStringLiteral("arrival on port %1 not taken").arg(port)));
    }
};
