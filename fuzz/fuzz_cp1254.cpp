// The wire code page: bytes survive a round trip unchanged, and any text encodes one byte per
// code point, each the byte that decodes back to it or '?' when no byte does.
#include "fuzzsupport.h"
#include "protocol/cp1254.h"

#include <QHash>

namespace {

// Every character the code page holds and its byte, found by decoding each byte on its own.
const QHash<char32_t, char> &byteFor()
{
    static const QHash<char32_t, char> table = [] {
        QHash<char32_t, char> t;
        for (int b = 0; b < 256; ++b) {
            const char byte = char(b);
            const QString c = Cp1254::decode(QByteArrayView(&byte, 1));
            if (c.size() == 1)
                t.insert(c.at(0).unicode(), byte);
        }
        return t;
    }();
    return table;
}

void checkBytes(QByteArrayView bytes)
{
    const QString text = Cp1254::decode(bytes);
    FUZZ_CHECK(text.size() == bytes.size(), hex(bytes) + u" -> " + escaped(text));
    const QByteArray again = Cp1254::encode(text);
    FUZZ_CHECK(again == bytes, hex(bytes) + u" -> " + escaped(text) + u" -> " + hex(again));
}

void checkText(QStringView text)
{
    const QByteArray bytes = Cp1254::encode(text);
    const auto detail = [&]() -> QString { return escaped(text) + u" -> " + hex(bytes); };

    qsizetype at = 0;
    for (qsizetype i = 0; i < text.size(); ++i, ++at) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            c = QChar::surrogateToUcs4(char16_t(c), text[++i].unicode());
        FUZZ_CHECK(at < bytes.size(), detail());
        const char expected = byteFor().value(c, '?');
        FUZZ_CHECK(bytes.at(at) == expected,
                   detail() +
                       QString::asprintf(" (byte %lld for U+%04X)", qlonglong(at), unsigned(c)));
    }
    FUZZ_CHECK(at == bytes.size(), detail());

    const QByteArray again = Cp1254::encode(Cp1254::decode(bytes));
    FUZZ_CHECK(again == bytes, detail() + u" -> " + hex(again));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkBytes(QByteArrayView(data, qsizetype(size)));

    // The same input as UTF-16 code units, so that any character and lone surrogates occur.
    FuzzInput input(data, size);
    QString text;
    while (!input.atEnd())
        text += QChar(input.unit());
    checkText(text);
    return 0;
}
