// How private the connection is, said all the time it is up.
#include "form1.h"
#include "privacynotices.h"

#include <QLabel>

void Form1::showPrivacy()
{
    // Only of a connection that is there: before it is up, and while it is being tried again,
    // there is nothing to say.
    const bool up = m_session.isUp();
    const ConnectionPrivacy privacy = m_session.privacy();
    m_privacy->setText(up ? PrivacyNotices::state(privacy) : QString());
    const QString fingerprint = up ? PrivacyNotices::fingerprint(privacy) : QString();
    m_privacy->setToolTip(fingerprint);
    m_privacy->setAccessibleDescription(fingerprint);
}
