#pragma once

#include <QProxyStyle>

// The classic frame's caption, drawn inset from the frame's border: the frames here stand a
// little past the window's left edge, as their geometry says, and still show their whole
// caption.
class FrameStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit FrameStyle(QObject *parent);

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option,
                         SubControl subControl, const QWidget *widget) const override;
};
