// The servers announced on the LAN, offered in the server field.
#include "form1.h"
#include "foundserversmodel.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QLineEdit>

void Form1::offerServers()
{
    if (!Text3->isEnabled() || m_serverModel->rowCount() == 0)
        return;
    // All of them, whatever the field holds; typing narrows the list down from there.
    m_serverList->setCompletionPrefix(QString());
    m_serverList->complete();
}

void Form1::pickServer()
{
    Text3->setFocus(Qt::OtherFocusReason);
    offerServers();
}
