#include "cp1254.h"

#include <array>

namespace {

// Bytes 0x80..0xFF; 0x00..0x7F are ASCII.
constexpr std::array<char16_t, 128> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x008E, 0x008F, // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x009E, 0x0178, // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7, // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, // C8
    0x011E, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x0130, 0x015E, 0x00DF, // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, // E8
    0x011F, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7, // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x0131, 0x015F, 0x00FF, // F8
};

// Inverse of kHigh for the characters above 0x7F, built once.
struct EncodeTable
{
    // Characters U+0080..U+00FF map straight to a byte or to 0 (not in the code page).
    std::array<char, 128> latin1{};

    EncodeTable()
    {
        for (int i = 0; i < 128; ++i) {
            const char16_t c = kHigh[i];
            if (c >= 0x80 && c <= 0xFF)
                latin1[c - 0x80] = char(0x80 + i);
        }
    }

    char lookup(char16_t c) const
    {
        if (c <= 0xFF)
            return latin1[c - 0x80];
        switch (c) { // the Turkish letters first: they are the common case
        case 0x011E:
            return char(0xD0);
        case 0x0130:
            return char(0xDD);
        case 0x015E:
            return char(0xDE);
        case 0x011F:
            return char(0xF0);
        case 0x0131:
            return char(0xFD);
        case 0x015F:
            return char(0xFE);
        default:
            break;
        }
        for (int i = 0; i < 32; ++i) { // the rest lie in 0x80..0x9F
            if (kHigh[i] == c)
                return char(0x80 + i);
        }
        return 0;
    }
};

// Every byte's character, so decoding is one lookup a byte.
struct DecodeTable
{
    std::array<char16_t, 256> chars{};

    DecodeTable()
    {
        for (int i = 0; i < 256; ++i)
            chars[i] = i < 0x80 ? char16_t(i) : kHigh[i - 0x80];
    }
};

const DecodeTable &decodeTable()
{
    static const DecodeTable table;
    return table;
}

const EncodeTable &encodeTable()
{
    static const EncodeTable table;
    return table;
}

} // namespace

namespace Cp1254 {

QString decode(QByteArrayView bytes)
{
    const DecodeTable &table = decodeTable();
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (const char b : bytes)
        *out++ = table.chars[static_cast<unsigned char>(b)];
    return text;
}

QByteArray encode(QStringView text)
{
    const EncodeTable &table = encodeTable();
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char *out = bytes.data();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            *out++ = char(c);
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i; // one '?' for the whole code point
        const char b = table.lookup(c);
        *out++ = b ? b : '?';
    }
    bytes.truncate(out - bytes.constData());
    return bytes;
}

bool encodeExactly(QStringView text, QByteArray &out)
{
    const EncodeTable &table = encodeTable();
    const qsizetype start = out.size();
    out.resize(start + text.size());
    char *p = out.data() + start;
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        const char b = c < 0x80 ? char(c) : table.lookup(c);
        if (c != 0 && b == 0) {
            out.truncate(start);
            return false;
        }
        *p++ = b;
    }
    return true;
}

} // namespace Cp1254
