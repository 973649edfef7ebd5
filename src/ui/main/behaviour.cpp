// The main window's own behaviour: loading, closing, leaving, the chat log's scrolling and
// clearing, and the nickname field's rules.
#include "chatlog.h"
#include "form1.h"
#include "protocol/turkishcase.h"
#include "ui/about/frmabout.h"

#include <QLineEdit>
#include <QPushButton>

void Form1::Form_Load()
{
    TrimSystemMenu(false, false, false, false, false, true, true);
}

void Form1::TrimSystemMenu(bool p0, bool p1, bool p2, bool p3, bool p4, bool p5, bool p6)
{
    // The frame's buttons stand for the window menu's entries here: Close (position 6) is
    // the close button and Minimize and Maximize (3, 4) are theirs. Restore, Move, Size and
    // the separator (0, 1, 2, 5) have no button of their own.
    Q_UNUSED(p0);
    Q_UNUSED(p1);
    Q_UNUSED(p2);
    Q_UNUSED(p5);
    Qt::WindowFlags flags = windowFlags();
    if (p6)
        flags &= ~Qt::WindowCloseButtonHint;
    if (p4)
        flags &= ~Qt::WindowMaximizeButtonHint;
    if (p3)
        flags &= ~Qt::WindowMinimizeButtonHint;
    if (flags != windowFlags())
        setWindowFlags(flags);
}

void Form1::Form_QueryUnload(bool &cancel, int unloadMode)
{
    Q_UNUSED(unloadMode);
    cancel = false;
}

void Form1::mnuexit_Click()
{
    m_endProgram();
}

void Form1::mnucleartxt_Click()
{
    Text1->setText(QString());
}

void Form1::Text1_Change()
{
    Text1->setSelStart(int(qMin<qsizetype>(Text1->length(), INT_MAX)));
}

void Form1::TxtNick_Change()
{
    m_session.setNickname(TxtNick->text());
    CmdConnect->setEnabled(!TxtNick->text().isEmpty());
}

void Form1::TxtNick_LostFocus()
{
    const QString upper = turkishUpper(TxtNick->text());
    if (upper != TxtNick->text())
        TxtNick->setText(upper);
}

void Form1::mnuabout_Click()
{
    frmAbout *about = aboutWindow();
    about->setWindowModality(Qt::WindowModal);
    about->open();
}
