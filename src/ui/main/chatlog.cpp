#include "chatlog.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

ChatLog::ChatLog(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    setFocusPolicy(Qt::StrongFocus);
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
}

QString ChatLog::displayForm(QStringView piece)
{
    QString out;
    out.reserve(piece.size() + piece.size() / MaxDisplayLine);
    const qsizetype n = piece.size();
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < n; ++i) {
        // Laying out one enormous paragraph takes seconds; a very long line is drawn as
        // several, which wrapping would have done on screen anyway.
        const char16_t c = piece[i].unicode();
        const bool lineEnd = c == u'\r' || c == u'\n' || c == 0x2028 || c == 0x2029;
        if (!lineEnd && !QChar::isLowSurrogate(c) && out.size() - lineStart >= MaxDisplayLine) {
            out += QChar(u'\n');
            lineStart = out.size();
        }
        if (c == u'\r') {
            if (i + 1 < n && piece[i + 1] == u'\n')
                ++i;
            out += QChar(u'\n');
        } else if (c == u'\n' || c == u'\t') {
            out += QChar(c);
        } else if (c < 0x20) {
            out += QChar(char16_t(0x2400 + c)); // the control pictures block
        } else if (c == 0x7F) {
            out += QChar(u'\u2421');
        } else if (c == 0x2028 || c == 0x2029) {
            out += QChar(u'\n');
        } else {
            out += QChar(c);
        }
        if (out.back() == u'\n')
            lineStart = out.size();
    }
    return out;
}

void ChatLog::setText(const QString &text)
{
    m_text = text;
    setPlainText(displayForm(text));
    setSelStart(int(m_text.size()));
    emit Change();
}

void ChatLog::append(QStringView piece)
{
    if (piece.isEmpty())
        return;
    m_text.append(piece);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(displayForm(piece));
    emit Change();
}

void ChatLog::setSelStart(int position)
{
    m_selStart = qBound(0, position, int(qMin<qsizetype>(m_text.size(), INT_MAX)));
    QTextCursor cursor = textCursor();
    if (m_selStart == m_text.size())
        cursor.movePosition(QTextCursor::End);
    else
        cursor.setPosition(qMin(m_selStart, document()->characterCount() - 1));
    setTextCursor(cursor);
}
