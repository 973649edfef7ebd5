#include "form1.h"

#include "chatlog.h"
#include "fonts.h"
#include "foundserversmodel.h"
#include "framestyle.h"
#include "ui/about/frmabout.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCloseEvent>
#include <QCompleter>
#include <QFocusEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>

namespace {

template <typename T> T *named(T *object, const char *name)
{
    object->setObjectName(QLatin1StringView(name));
    return object;
}

// Switching to another window or opening a menu leaves a control the window's focus widget:
// its focus comes back to it afterwards, so it has not lost it.
bool keepsFocus(const QEvent *focusOut)
{
    switch (static_cast<const QFocusEvent *>(focusOut)->reason()) {
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
    case Qt::MenuBarFocusReason:
        return true;
    default:
        return false;
    }
}

} // namespace

Form1::Form1(QWidget *parent)
    // Born without a close button, as the window keeps it: Form_Load's TrimSystemMenu finds
    // nothing left to take off, so the native window is never made again for it.
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint),
      Timer1(this), m_session(this), m_servers(this)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Caption.toString());
    setWindowIcon(QIcon(QStringLiteral(":/vornel/vornel.ico")));
    setFont(Fonts::msSansSerif());
    m_endProgram = [] { QCoreApplication::exit(0); };

    createControls();
    createMenus();
    connectHandlers();

    // The client area below the menu bar is 8640 x 7380 twips.
    resize(twips(8640), twips(7380) + menuBar()->sizeHint().height());
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r(QPoint(), size());
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }

    TxtNick->setFocus();
    Timer1.start();
    Form_Load();
    // Nothing here waits for the bus or the daemon: servers are offered as they are found.
    m_servers.start();
}

Form1::~Form1() = default;

int Form1::twips(int t) const
{
    return qRound(t * logicalDpiX() / 1440.0);
}

void Form1::placeAt(QWidget *w, int left, int top, int width, int height)
{
    w->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

void Form1::createControls()
{
    auto *client = named(new QWidget(this), "client");
    setCentralWidget(client);

    auto *frames = new FrameStyle(this);
    Frame1 = named(new QGroupBox(QStringLiteral("Kullanıcı bilgileri "), client), "Frame1");
    placeAt(Frame1, -30, 45, 6420, 1020);
    Frame1->setStyle(frames);

    Label1 = named(new QLabel(QStringLiteral("Lakabınız   :"), Frame1), "Label1");
    Label1->move(twips(1050), twips(300));
    Label1->adjustSize();

    TxtNick = named(new QLineEdit(Frame1), "TxtNick");
    placeAt(TxtNick, 2070, 240, 2535, 285);
    TxtNick->setAlignment(Qt::AlignCenter);
    TxtNick->setToolTip(QStringLiteral("Enter your nickname..."));
    TxtNick->setAccessibleName(QStringLiteral("Lakabınız"));
    Label1->setBuddy(TxtNick);

    Label2 = named(new QLabel(QStringLiteral("Anamakina adı yada IP :"), Frame1), "Label2");
    Label2->move(twips(150), twips(675));
    Label2->adjustSize();

    Text3 = named(new QLineEdit(ServerStartText.toString(), Frame1), "Text3");
    placeAt(Text3, 2070, 600, 2535, 285);
    Text3->setAlignment(Qt::AlignCenter);
    Text3->setToolTip(QStringLiteral("IP Address or Host name of the Server"));
    Text3->setAccessibleName(QStringLiteral("Anamakina adı yada IP"));
    Label2->setBuddy(Text3);
    m_serverModel = new FoundServersModel(m_servers, this);
    m_serverList = new QCompleter(m_serverModel, Text3);
    m_serverList->setCompletionRole(Qt::EditRole);
    m_serverList->setCaseSensitivity(Qt::CaseInsensitive);
    m_serverList->popup()->setAccessibleName(QStringLiteral("Bulunan sunucular"));
    Text3->setCompleter(m_serverList);

    CmdConnect = named(new QPushButton(QStringLiteral("&Bağlan"), Frame1), "CmdConnect");
    placeAt(CmdConnect, 4950, 240, 1125, 615);
    CmdConnect->setEnabled(false);
    CmdConnect->setToolTip(QStringLiteral("Click to connect to server"));
    CmdConnect->setAutoDefault(true); // Enter on the focused button presses it

    Frame2 = named(new QGroupBox(client), "Frame2");
    placeAt(Frame2, -30, 1095, 6420, 6255);
    Frame2->setStyle(frames);
    Frame2->setEnabled(false);

    Text1 = named(new ChatLog(Frame2), "Text1");
    placeAt(Text1, 120, 225, 6180, 5100);
    Text1->setFont(Fonts::tahoma(9));
    Text1->setAccessibleName(QStringLiteral("Sohbet"));

    Text2 = named(new QLineEdit(Frame2), "Text2");
    placeAt(Text2, 120, 5475, 5295, 615);
    Text2->setFont(Fonts::tahoma(9, true));
    Text2->setAccessibleName(QStringLiteral("İleti"));

    Command1 = named(new QPushButton(QStringLiteral("&Gönder"), Frame2), "Command1");
    placeAt(Command1, 5475, 5475, 855, 615);
    Command1->setAutoDefault(false);
    Command1->setDefault(true);

    Label3 = named(new QLabel(QStringLiteral("Bağlı Kullanıcılar"), client), "Label3");
    Label3->setFont(Fonts::msSansSerif(8.25, true));
    Label3->move(twips(6825), twips(75));
    Label3->adjustSize();

    List1 = named(new QListView(client), "List1");
    placeAt(List1, 6495, 315, 1935, 5730);
    List1->setFont(Fonts::tahoma(9, true));
    List1->setModel(&m_session.userList());
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List1->setUniformItemSizes(true);
    List1->setAccessibleName(QStringLiteral("Bağlı Kullanıcılar"));
    Label3->setBuddy(List1);

    Label4 = named(new QLabel(QStringLiteral("0 Kullanıcı bağlı"), client), "Label4");
    Label4->setTextFormat(Qt::PlainText);
    Label4->setAlignment(Qt::AlignCenter);
    QPalette red = Label4->palette();
    red.setColor(QPalette::WindowText, QColor(192, 0, 0));
    Label4->setPalette(red);
    Label4->move(twips(6975), twips(6150));
    Label4->adjustSize();

    // In the free space below the count, so that every other control keeps its place.
    m_privacy = named(new QLabel(client), "privacy");
    placeAt(m_privacy, 6495, 6420, 1935, 900);
    m_privacy->setTextFormat(Qt::PlainText);
    m_privacy->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_privacy->setWordWrap(true);
    m_privacy->setAccessibleName(QStringLiteral("Bağlantı güvenliği"));

    Text4 = named(new QLineEdit(client), "Text4");
    placeAt(Text4, 10560, 7920, 1095, 285);
    Text4->setVisible(false);
    Text4->setFocusPolicy(Qt::NoFocus);

    for (QLabel *label : {Label1, Label2, Label3})
        label->setTextFormat(Qt::PlainText);

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(500);

    setTabOrder(TxtNick, Text3);
    setTabOrder(Text3, CmdConnect);
    setTabOrder(CmdConnect, Text2);
    setTabOrder(Text2, Command1);
    setTabOrder(Command1, List1);
    setTabOrder(List1, Text1);
}

void Form1::createMenus()
{
    QMenuBar *bar = menuBar();

    mnulogin = named(bar->addMenu(QStringLiteral("Bağlantı ayarı")), "mnulogin");
    mnuconnect = named(mnulogin->addAction(QStringLiteral("&Bağlan")), "mnuconnect");
    mnudisconnect = named(mnulogin->addAction(QStringLiteral("Bağlantıyı &kes")), "mnudisconnect");
    mnudisconnect->setEnabled(false);
    sddfsd = named(mnulogin->addSeparator(), "sddfsd");
    mnuexit = named(mnulogin->addAction(QStringLiteral("&Çıkış")), "mnuexit");

    mnuformat = named(bar->addMenu(QStringLiteral("&Yazı biçimi")), "mnuformat");
    mnubold = named(mnuformat->addAction(QStringLiteral("Kalın")), "mnubold");
    mnuitallic = named(mnuformat->addAction(QStringLiteral("Yatık")), "mnuitallic");
    mnuunderlined = named(mnuformat->addAction(QStringLiteral("Altı çizili")), "mnuunderlined");
    mnunone = named(mnuformat->addAction(QStringLiteral("Normal")), "mnunone");
    for (QAction *style : {mnubold, mnuitallic, mnuunderlined, mnunone})
        style->setCheckable(true);
    mnunone->setChecked(true);
    nnjik = named(mnuformat->addSeparator(), "nnjik");
    mnucleartxt = named(mnuformat->addAction(QStringLiteral("Ekranı temizle")), "mnucleartxt");

    mnuabout = named(bar->addAction(QStringLiteral("&Yazan hakkında")), "mnuabout");
}

void Form1::connectHandlers()
{
    connect(CmdConnect, &QPushButton::clicked, this, &Form1::CmdConnect_Click);
    connect(mnuconnect, &QAction::triggered, this, &Form1::mnuconnect_Click);
    connect(mnudisconnect, &QAction::triggered, this, &Form1::mnudisconnect_Click);
    connect(mnuexit, &QAction::triggered, this, &Form1::mnuexit_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(mnucleartxt, &QAction::triggered, this, &Form1::mnucleartxt_Click);
    // The style handlers set their check marks themselves, so the toggle QAction makes on
    // its own before triggered() is undone first.
    const std::pair<QAction *, void (Form1::*)()> styles[] = {
        {mnubold, &Form1::mnubold_Click},
        {mnuitallic, &Form1::mnuitallic_Click},
        {mnuunderlined, &Form1::mnuunderlined_Click},
        {mnunone, &Form1::mnunone_Click}};
    for (const auto &[entry, handler] : styles) {
        connect(entry, &QAction::triggered, this, [this, entry, handler](bool checked) {
            entry->setChecked(!checked);
            (this->*handler)();
        });
    }
    connect(mnuabout, &QAction::triggered, this, &Form1::mnuabout_Click);

    connect(&m_session, &ChatSession::connectedChanged, this, &Form1::showConnected);
    connect(&m_session, &ChatSession::socketError, this, &Form1::Winsock_Error);
    connect(&m_session, &ChatSession::connectionLost, this, &Form1::connectionLost);
    connect(&m_session, &ChatSession::reconnected, this, &Form1::reconnected);
    connect(&m_session, &ChatSession::attemptRefused, this, &Form1::attemptRefused);
    connect(&m_session, &ChatSession::privacyChanged, this, &Form1::showPrivacy);
    // Browsing goes on until the session is up, for a connect that looks for its server, and
    // starts again once it is over.
    connect(&m_session, &ChatSession::up, &m_servers, &ServerBrowser::stop);
    connect(&m_session, &ChatSession::connectedChanged, this, [this](bool connected) {
        if (!connected)
            m_servers.start();
    });
    connect(&m_session, &ChatSession::serverToPick, this, &Form1::pickServer);
    connect(&m_session, &ChatSession::chatArrived, this, &Form1::Winsock1_DataArrival);
    connect(&m_session, &ChatSession::joinArrived, this, &Form1::Winjoin_DataArrival);
    connect(&m_session, &ChatSession::leaveArrived, this, &Form1::Winleft_DataArrival);
    connect(&m_session, &ChatSession::departuresDone, Text4, &QLineEdit::clear);

    connect(Text4, &QLineEdit::textChanged, this, &Form1::Text4_Change);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    connect(TxtNick, &QLineEdit::textChanged, this, &Form1::TxtNick_Change);
    TxtNick->installEventFilter(this);
    Text3->installEventFilter(this);
    connect(Text1, &ChatLog::Change, this, &Form1::Text1_Change);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == TxtNick && event->type() == QEvent::FocusOut && !keepsFocus(event))
        TxtNick_LostFocus();
    // The list opens as the field gets the focus, and with the arrow keys once closed.
    if (watched == Text3 && event->type() == QEvent::FocusIn && !keepsFocus(event))
        offerServers();
    if (watched == Text3 && event->type() == QEvent::KeyPress &&
        !m_serverList->popup()->isVisible()) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if ((key == Qt::Key_Down || key == Qt::Key_Up) && m_serverModel->rowCount() > 0) {
            offerServers();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    // Command1 is the window's default button: Enter presses it unless another button has
    // the focus (a focused button takes Enter itself).
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        Command1->isEnabled() && !qobject_cast<QPushButton *>(focusWidget())) {
        Command1->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    bool cancel = false;
    Form_QueryUnload(cancel, 0);
    if (cancel) {
        event->ignore();
        return;
    }
    event->accept();
    // Closing takes the focus from the field for good.
    if (focusWidget() == TxtNick)
        TxtNick_LostFocus();
}

frmAbout *Form1::aboutWindow()
{
    if (!m_about)
        m_about = new frmAbout(this);
    return m_about;
}

bool Form1::isConnectedState() const
{
    return !Frame1->isEnabled() && Frame2->isEnabled() && !mnuconnect->isEnabled() &&
           mnudisconnect->isEnabled() && !mnuexit->isEnabled();
}
