#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QPlainTextEdit>
#include <QString>

// The chat log: a read-only, multi-line text box whose text is exactly what was put in it,
// line ends and control characters included. Appending costs the same however long the
// log is: the new piece is added at the end of the document, nothing is rewritten.
class ChatLog : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ChatLog(QWidget *parent = nullptr);

    // The whole text, exactly as assigned and appended.
    QString text() const;
    qsizetype length() const { return m_wide ? m_wideText.size() : m_narrowText.size(); }
    void setText(const QString &text);
    // Equivalent to setText(text() + piece), in time proportional to the piece.
    void append(QStringView piece);
    // The same for bytes as they came from the wire: kept as they are, decoded only to draw.
    void appendBytes(QByteArrayView bytes);

    // The caret position as a character offset into text().
    int selStart() const { return m_selStart; }
    void setSelStart(int position);

    // How a piece of text is drawn: every line end (CR LF, CR or LF) starts a new line and
    // other control characters are shown as their visible symbols.
    static QString displayForm(QStringView piece);
    // Longest run of characters drawn as one line; longer lines are broken for drawing only.
    static constexpr qsizetype MaxDisplayLine = 4096;
    static constexpr int LinesPerParagraph = 16;

signals:
    // Raised after every change of the text, inside the call that made it.
    void Change();

private:
    void store(QStringView piece);
    void draw(QStringView piece);

    // The exact text. Everything that comes from the wire fits code page 1254, so it is
    // kept as one byte a character; the first character that does not fit switches to UTF-16.
    QByteArray m_narrowText;
    QString m_wideText;
    bool m_wide = false;
    int m_selStart = 0;
    int m_linesInParagraph = 0;
};
