#pragma once

#include <QString>

// The outcome of a socket operation. Marked [[nodiscard]] so that no caller can
// drop a failure on the floor: each handler must decide to show, skip or ignore it.
class [[nodiscard]] WinsockResult
{
public:
    WinsockResult() = default;
    static WinsockResult failure(int number, const QString &description)
    {
        WinsockResult r;
        r.m_number = number;
        r.m_description = description;
        return r;
    }

    bool ok() const { return m_number == 0; }
    int number() const { return m_number; }
    const QString &description() const { return m_description; }
    // "number: description", the form every error message box of the program uses.
    QString message() const
    {
        return QString::number(m_number) + QStringLiteral(": ") + m_description;
    }

private:
    int m_number = 0;
    QString m_description;
};
