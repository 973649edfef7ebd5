#include "msgbox.h"

#include <QMessageBox>

#include <utility>

namespace {

MsgBox::Hook &hook()
{
    static MsgBox::Hook h;
    return h;
}

} // namespace

namespace MsgBox {

QString applicationTitle()
{
    return QStringLiteral("Vornel");
}

void show(QWidget *parent, const QString &text, int style, const QString &title)
{
    const QString shownTitle = title.isEmpty() ? applicationTitle() : title;
    if (hook()) {
        hook()(parent, text, style, shownTitle);
        return;
    }
    QMessageBox box(style == Information ? QMessageBox::Information : QMessageBox::NoIcon,
                    shownTitle, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

Hook setHook(Hook h)
{
    return std::exchange(hook(), std::move(h));
}

} // namespace MsgBox
