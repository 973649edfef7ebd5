#pragma once

#include "channels/chatsession.h"
#include "channels/serverbrowser.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>

class ChatLog;
class FoundServersModel;
class QAction;
class QCompleter;
class QCloseEvent;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPushButton;
class frmAbout;

// The main window: nickname and server, the chat log and entry, the user list. It shows the
// chat session it owns and turns its commands into the session's operations. Its handlers
// are public so tests can drive them.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr QStringView Caption = u"Yazışma - Terminal Modülü";
    // The server field's start text, and the name Bağlan finds a server for where the system
    // resolves no host of that name.
    static constexpr QStringView ServerStartText = u"SERVER";

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // How the exit entry ends the program; tests replace it.
    void setEndProgram(std::function<void()> endProgram) { m_endProgram = std::move(endProgram); }

    bool isConnectedState() const;
    ChatSession &session() { return m_session; }
    ServerBrowser &servers() { return m_servers; }
    // The about window, made on first use; it belongs to this window.
    frmAbout *aboutWindow();

    // Window
    void Form_Load();
    void TrimSystemMenu(bool p0, bool p1, bool p2, bool p3, bool p4, bool p5, bool p6);
    void Form_QueryUnload(bool &cancel, int unloadMode);

    // Connection
    void CmdConnect_Click();
    void mnuconnect_Click();
    void mnudisconnect_Click();
    // Winsock1_Error and Winsock2_Error: both channels report alike.
    void Winsock_Error(int number, const QString &description);
    // The connection ended by itself and is being tried again, and is back.
    void connectionLost(int number, const QString &description);
    void reconnected();
    // An attempt to come back reached a server not to be trusted.
    void attemptRefused(int number, const QString &description);
    // How private the connection is, below the user count.
    void showPrivacy();

    // The servers announced on the LAN, offered under the server field; picking one puts its
    // name there.
    void offerServers();

    // Chat
    void Command1_Click();
    void Winsock1_DataArrival(const QByteArray &text);

    // Join and leave notices
    void Winjoin_DataArrival(const QByteArray &notice);
    void Winleft_DataArrival(const QByteArray &bytes, const QString &nickname);

    // User list
    void Timer1_Timer();
    void Text4_Change();

    // The window's own behaviour
    void mnuexit_Click();
    void mnucleartxt_Click();
    void Text1_Change();
    void TxtNick_Change();
    void TxtNick_LostFocus();

    // Text style
    void mnubold_Click();
    void mnuitallic_Click();
    void mnuunderlined_Click();
    void mnunone_Click();

    // About
    void mnuabout_Click();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void createMenus();
    void connectHandlers();
    void placeAt(QWidget *w, int left, int top, int width, int height);
    int twips(int t) const;
    void showConnected(bool connected);
    int listIndex() const;
    void setListIndex(int row);
    void raiseOnArrival();
    ChatSession::ServerChoice chooseServer() const;
    void pickServer();

    // Controls, named as the program's handlers know them.
    QGroupBox *Frame1 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *TxtNick = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QPushButton *CmdConnect = nullptr;
    QGroupBox *Frame2 = nullptr;
    ChatLog *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QPushButton *Command1 = nullptr;
    QLabel *Label3 = nullptr;
    QListView *List1 = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *Text4 = nullptr;
    QLabel *m_privacy = nullptr;
    QTimer Timer1;
    ChatSession m_session; // its channels and Timer2 are found by name among our children
    ServerBrowser m_servers;
    FoundServersModel *m_serverModel = nullptr;
    QCompleter *m_serverList = nullptr;

    QMenu *mnulogin = nullptr;
    QAction *mnuconnect = nullptr;
    QAction *mnudisconnect = nullptr;
    QAction *sddfsd = nullptr;
    QAction *mnuexit = nullptr;
    QMenu *mnuformat = nullptr;
    QAction *mnubold = nullptr;
    QAction *mnuitallic = nullptr;
    QAction *mnuunderlined = nullptr;
    QAction *mnunone = nullptr;
    QAction *nnjik = nullptr;
    QAction *mnucleartxt = nullptr;
    QAction *mnuabout = nullptr;

    frmAbout *m_about = nullptr;
    std::function<void()> m_endProgram;
};
