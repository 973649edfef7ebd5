#include "serverload_link.h"

#include <QSslConfiguration>

LoadLink::LoadLink(QObject *parent) : QSslSocket(parent)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_3OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    setSslConfiguration(tls);
}

std::optional<LinkFrame> LoadLink::nextFrame()
{
    if (bytesAvailable() > 0)
        m_decoder.feed(readAll());
    return m_decoder.next();
}
