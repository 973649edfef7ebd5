#include "socketerrors.h"

namespace SocketErrors {

QString description(int number)
{
    switch (number) {
    case InvalidPropertyValue:
        return QStringLiteral("Geçersiz özellik değeri");
    case AccessDenied:
        return QStringLiteral("Erişim izni yok");
    case AddressInUse:
        return QStringLiteral("Adres kullanımda");
    case AddressNotAvailable:
        return QStringLiteral("Adres kullanılamıyor");
    case NetworkUnreachable:
        return QStringLiteral("Ağa ulaşılamıyor");
    case ConnectionAborted:
        return QStringLiteral("Bağlantı karşı tarafça kapatıldı");
    case ConnectionReset:
        return QStringLiteral("Bağlantı karşı tarafça sıfırlandı");
    case NoBufferSpace:
        return QStringLiteral("Yetersiz arabellek alanı");
    case TimedOut:
        return QStringLiteral("Bağlantı zaman aşımına uğradı");
    case ConnectionRefused:
        return QStringLiteral("Bağlantı reddedildi");
    case HostNotFound:
        return QStringLiteral("Anamakina bulunamadı");
    case WrongProtocolOrState:
        return QStringLiteral("İstenen işlem için bağlantı durumu uygun değil");
    case InvalidOperation:
        return QStringLiteral("Bu durumda geçersiz işlem");
    case ServerIdentityRefused:
        return QStringLiteral("Sunucunun kimliği doğrulanamadı: sunduğu sertifika beklenen "
                              "sertifika değil. Şifresiz de bağlanılmadı");
    case SecureHandshakeFailed:
        return QStringLiteral("Sunucuyla şifreli bağlantı kurulamadı. Şifresiz de bağlanılmadı");
    default:
        return QStringLiteral("Beklenmeyen ağ hatası");
    }
}

int fromSocketError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return ConnectionReset;
    case QAbstractSocket::HostNotFoundError:
        return HostNotFound;
    case QAbstractSocket::SocketAccessError:
        return AccessDenied;
    case QAbstractSocket::SocketResourceError:
        return NoBufferSpace;
    case QAbstractSocket::SocketTimeoutError:
        return TimedOut;
    case QAbstractSocket::NetworkError:
        return NetworkUnreachable;
    case QAbstractSocket::AddressInUseError:
        return AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return AddressNotAvailable;
    case QAbstractSocket::OperationError:
        return WrongProtocolOrState;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return InvalidOperation;
    default:
        return Unexpected;
    }
}

} // namespace SocketErrors
