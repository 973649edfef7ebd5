// Linked into every test program that has the windows: a message box that no test expects
// fails the running test at once, with its text, rather than waiting for a click that never
// comes. A MessageBoxRecorder answers them instead while it lives.
#include "ui/main/msgbox.h"

#include <QByteArray>
#include <QTest>

namespace {

void failTheTest(QWidget *, const QString &text, int, const QString &title)
{
    const QByteArray what =
        QStringLiteral("a message box opened: \"%1\" (%2)").arg(text, title).toUtf8();
    if (QTest::currentTestFunction())
        QTest::qFail(what.constData(), __FILE__, __LINE__);
    else
        qFatal("%s", what.constData());
}

const MsgBox::Hook installed = MsgBox::setHook(failTheTest);

} // namespace
