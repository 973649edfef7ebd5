#pragma once

#include "channels/userlistmodel.h"
#include "channels/winsock.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <deque>
#include <functional>

class ChatLog;
class QAction;
class QCloseEvent;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPushButton;

// The main window: nickname and server, the chat log and entry, the user list, and the
// four channels to the chat server. Its handlers are public so tests can drive them.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // Ports of the four channels.
    static constexpr qint32 ChatPort = 10420;
    static constexpr qint32 UserListPort = 4201;
    static constexpr qint32 LeavePort = 10081;
    static constexpr qint32 JoinPort = 10082;
    // A departed user's entry goes this long after the leave notice.
    static constexpr int RemovalDelayMs = 2000;

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // How the exit entry ends the program; tests replace it.
    void setEndProgram(std::function<void()> endProgram) { m_endProgram = std::move(endProgram); }

    bool isConnectedState() const;

    // Window
    void Form_Load();
    void TrimSystemMenu(bool p0, bool p1, bool p2, bool p3, bool p4, bool p5, bool p6);
    void Form_QueryUnload(bool &cancel, int unloadMode);

    // Connection
    void CmdConnect_Click();
    void mnuconnect_Click();
    void mnudisconnect_Click();
    void Winsock2_Connect();
    void Winjoin_Connect();
    void Winsock1_Error(int number, const QString &description);
    void Winsock2_Error(int number, const QString &description);

    // Chat
    void Command1_Click();
    void Winsock1_DataArrival(qint32 bytesTotal);

    // Join and leave notices
    void Winjoin_DataArrival(qint32 bytesTotal);
    void Winleft_DataArrival(qint32 bytesTotal);

    // User list
    void Winsock2_DataArrival(qint32 bytesTotal);
    void Timer1_Timer();
    void Text4_Change();
    void Timer2_Timer();
    int pendingRemovals() const { return int(m_pendingRemovals.size()); }

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
    void appendToLog(const QString &piece);
    int listIndex() const;
    void setListIndex(int row);
    void scheduleNextRemoval();
    void raiseOnArrival();

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
    QTimer Timer1;
    QTimer Timer2;
    Winsock Winsock1;
    Winsock Winsock2;
    Winsock Winleft;
    Winsock Winjoin;

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

    UserListModel m_userList;
    QString UserListData;

    struct PendingRemoval
    {
        QString nickname;
        qint64 due = 0;
        quint64 listGeneration = 0;
    };
    std::deque<PendingRemoval> m_pendingRemovals;
    QElapsedTimer m_clock;

    std::function<void()> m_endProgram;
};
