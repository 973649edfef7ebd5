#pragma once

#include "channels/connectionprivacy.h"
#include "protocol/fingerprint.h"

#include <QString>
#include <QStringView>

// What the window says of how private the connection is. Nothing claims more than is true: a
// link no authority vouched for is never called verified, a plain session never encrypted.
namespace PrivacyNotices {

inline constexpr QStringView Encrypted = u"Bağlantı şifreli";
// Followed by the name the system's trust store vouched for the server under.
inline constexpr QStringView Vouched = u"Bağlantı şifreli, sunucu doğrulandı: ";
inline constexpr QStringView Plain = u"Bağlantı şifresiz";
// Behind the count of those the server says read the room without encryption.
inline constexpr QStringView PlainUsers = u" kullanıcı şifresiz bağlı";
// Before the server's fingerprint, spelled as `vornel-server --fingerprint` prints it.
inline constexpr QStringView Fingerprint = u"Sunucunun parmak izi (SHA-256): ";

inline QString state(const ConnectionPrivacy &privacy)
{
    if (!privacy.encrypted)
        return Plain.toString();
    QString text =
        privacy.vouchedName.isEmpty() ? Encrypted.toString() : Vouched + privacy.vouchedName;
    if (privacy.plainUsers > 0)
        text += u'\n' + QString::number(privacy.plainUsers) + PlainUsers;
    return text;
}

inline QString fingerprint(const ConnectionPrivacy &privacy)
{
    return privacy.fingerprint.isEmpty() ? QString()
                                         : Fingerprint + ::Fingerprint::toText(privacy.fingerprint);
}

} // namespace PrivacyNotices
