#pragma once

#include <QString>
#include <QStringView>

// What the window says of a connection that ended by itself and is being tried again, in its
// own words: lines the server sends never begin with the mark.
namespace ConnectionNotices {

inline constexpr QStringView Mark = u"*** ";
// The log line when the connection ends: the mark, "Number: Description", and this.
inline constexpr QStringView Retrying = u". Yeniden bağlanılıyor...";
// The log line when an attempt has brought it back.
inline constexpr QStringView Back = u"*** Bağlantı yeniden kuruldu.";
// Behind the window's title for as long as it is not connected, though in the connected state.
inline constexpr QStringView TitleRetrying = u" (bağlantı yok, yeniden bağlanılıyor)";

// The log line when an attempt reached a server not to be trusted, and gave it up.
inline constexpr QStringView RetryLater = u". Yeniden denenecek.";

inline QString refused(int number, const QString &description)
{
    return Mark + QString::number(number) + QStringLiteral(": ") + description + RetryLater;
}

inline QString lost(int number, const QString &description)
{
    return Mark + QString::number(number) + QStringLiteral(": ") + description + Retrying;
}

} // namespace ConnectionNotices
