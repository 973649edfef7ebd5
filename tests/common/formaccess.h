#pragma once

#include "ui/main/msgbox.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QtTest>

// Reaches a window's control by its name.
template <typename T> T *control(const QObject *window, const char *name)
{
    T *found = window->findChild<T *>(QLatin1StringView(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

// Answers every message box at once and remembers what it said; the hook it replaced (in a
// test program, the one that fails the test) is back once it is gone.
class MessageBoxRecorder
{
public:
    struct Box
    {
        QString text;
        int style;
        QString title;
    };

    MessageBoxRecorder()
        : m_previous(MsgBox::setHook(
              [this](QWidget *, const QString &text, int style, const QString &title) {
                  boxes.append({text, style, title});
              }))
    {}
    ~MessageBoxRecorder() { MsgBox::setHook(std::move(m_previous)); }
    MessageBoxRecorder(const MessageBoxRecorder &) = delete;
    MessageBoxRecorder &operator=(const MessageBoxRecorder &) = delete;

    QStringList texts() const
    {
        QStringList t;
        for (const Box &b : boxes)
            t.append(b.text);
        return t;
    }

    QList<Box> boxes;

private:
    MsgBox::Hook m_previous;
};
