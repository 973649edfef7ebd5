#pragma once

#include <QString>

#include <functional>

class QWidget;

// Every message box of the program goes through here, so tests can answer them.
namespace MsgBox {

enum Style : int {
    OkOnly = 0,      // OK button, no icon
    Information = 64 // information icon, OK button
};

// The title boxes of style 0 show when they have none of their own.
QString applicationTitle();

// Shows a modal box and returns when it has been closed. The text is always plain text.
void show(QWidget *parent, const QString &text, int style = OkOnly, const QString &title = {});

// Replaces the box with a call (tests); an empty hook restores the real box. Returns the hook
// it replaces.
using Hook =
    std::function<void(QWidget *parent, const QString &text, int style, const QString &title)>;
Hook setHook(Hook hook);

} // namespace MsgBox
