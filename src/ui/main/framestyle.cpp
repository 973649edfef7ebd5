#include "framestyle.h"

#include <QStyleOption>

namespace {
// As far from the border as Qt's common style puts a framed caption.
constexpr int CaptionInset = 8;
} // namespace

FrameStyle::FrameStyle(QObject *parent)
{
    setParent(parent);
}

QRect FrameStyle::subControlRect(ComplexControl control, const QStyleOptionComplex *option,
                                 SubControl subControl, const QWidget *widget) const
{
    QRect rect = QProxyStyle::subControlRect(control, option, subControl, widget);
    if (control == CC_GroupBox && subControl == SC_GroupBoxLabel &&
        rect.left() < option->rect.left() + CaptionInset)
        rect.moveLeft(option->rect.left() + CaptionInset);
    return rect;
}
