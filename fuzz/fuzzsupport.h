#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken property aborts: libFuzzer then keeps the input as a crash, and the replay counts
// the input as failed.
[[noreturn]] inline void fuzzFailure(const char *file, int line, const char *condition,
                                     const QString &detail)
{
    std::fprintf(stderr, "%s:%d: FAILED: %s\n%s\n", file, line, condition, qUtf8Printable(detail));
    std::fflush(stderr);
    std::abort();
}

// detail is only built when the check fails.
#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(__FILE__, __LINE__, #condition, (detail));                                 \
    } while (false)

// Text readable in any log: printable ASCII as is, every other code unit as \uXXXX.
inline QString escaped(QStringView text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != u'\\' && u != u'"')
            out += c;
        else
            out += QString::asprintf("\\u%04X", unsigned(u));
    }
    return out + u'"';
}

inline QString escaped(const QList<QString> &list)
{
    QString out = QStringLiteral("[");
    for (qsizetype i = 0; i < list.size(); ++i)
        out += (i ? QStringLiteral(", ") : QString()) + escaped(list.at(i));
    return out + u']';
}

inline QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' '));
}

// Reads the fuzz input front to back; past the end every read gives 0.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    uint8_t byte() { return atEnd() ? 0 : m_data[m_pos++]; }
    char16_t unit()
    {
        const uint8_t low = byte();
        return char16_t(low | byte() << 8);
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};
