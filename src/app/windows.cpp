#include "windows.h"

#include "ui/about/frmabout.h"
#include "ui/main/form1.h"

#include <QPointer>

namespace {

QPointer<Form1> &mainRef()
{
    static QPointer<Form1> ref;
    return ref;
}

QPointer<frmAbout> &aboutRef()
{
    static QPointer<frmAbout> ref;
    return ref;
}

} // namespace

namespace Windows {

Form1 *mainWindow()
{
    if (!mainRef())
        mainRef() = new Form1;
    return mainRef();
}

void registerMainWindow(Form1 *window)
{
    if (!mainRef())
        mainRef() = window;
}

frmAbout *aboutWindow()
{
    if (!aboutRef())
        aboutRef() = new frmAbout(mainWindow());
    return aboutRef();
}

} // namespace Windows
