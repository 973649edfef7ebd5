#include "chatlog.h"

#include "protocol/cp1254.h"

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

QString ChatLog::text() const
{
    return m_wide ? m_wideText : Cp1254::decode(m_narrowText);
}

void ChatLog::store(QStringView piece)
{
    if (!m_wide) {
        if (Cp1254::encodeExactly(piece, m_narrowText))
            return;
        m_wideText = Cp1254::decode(m_narrowText);
        m_narrowText = QByteArray();
        m_wide = true;
    }
    m_wideText.append(piece);
}

void ChatLog::setText(const QString &text)
{
    m_narrowText.clear();
    m_wideText.clear();
    m_wide = false;
    m_linesInParagraph = 0;
    setPlainText(QString());
    append(text);
    if (!text.isEmpty())
        return; // append has raised Change
    setSelStart(int(qMin<qsizetype>(length(), INT_MAX)));
    emit Change();
}

void ChatLog::append(QStringView piece)
{
    if (piece.isEmpty())
        return;
    store(piece);
    draw(piece);
}

void ChatLog::appendBytes(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    const QString decoded = Cp1254::decode(bytes);
    if (m_wide)
        m_wideText.append(decoded);
    else
        m_narrowText.append(bytes);
    draw(decoded);
}

void ChatLog::draw(QStringView piece)
{
    QString shown = displayForm(piece);
    // Each paragraph of a document costs hundreds of bytes whatever its length, so lines are
    // kept together, LinesPerParagraph at a time, by line separators.
    for (QChar &c : shown) {
        if (c == u'\n') {
            if (++m_linesInParagraph < LinesPerParagraph) {
                c = QChar::LineSeparator;
            } else {
                m_linesInParagraph = 0;
            }
        }
    }
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    emit Change();
}

void ChatLog::setSelStart(int position)
{
    m_selStart = qBound(0, position, int(qMin<qsizetype>(length(), INT_MAX)));
    QTextCursor cursor = textCursor();
    if (m_selStart == length())
        cursor.movePosition(QTextCursor::End);
    else
        cursor.setPosition(qMin(m_selStart, document()->characterCount() - 1));
    setTextCursor(cursor);
}
