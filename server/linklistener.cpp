#include "linklistener.h"

#include <QSslSocket>

#include <unistd.h>

void LinkListener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (socket->setSocketDescriptor(descriptor))
        addPendingConnection(socket);
    else {
        delete socket;
        ::close(int(descriptor));
    }
}
