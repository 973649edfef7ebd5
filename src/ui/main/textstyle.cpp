// The text style menu: bold, italic and underline of the chat log, each entry flipping its
// own check mark and its own attribute; Normal clears them all.
#include "chatlog.h"
#include "form1.h"

#include <QAction>

namespace {

void flip(ChatLog *log, void (QFont::*set)(bool), bool (QFont::*get)() const)
{
    QFont font = log->font();
    (font.*set)(!(font.*get)());
    log->setFont(font);
}

} // namespace

void Form1::mnubold_Click()
{
    mnubold->setChecked(!mnubold->isChecked());
    flip(Text1, &QFont::setBold, &QFont::bold);
    mnunone->setChecked(false);
}

void Form1::mnuitallic_Click()
{
    mnuitallic->setChecked(!mnuitallic->isChecked());
    flip(Text1, &QFont::setItalic, &QFont::italic);
    mnunone->setChecked(false);
}

void Form1::mnuunderlined_Click()
{
    mnuunderlined->setChecked(!mnuunderlined->isChecked());
    flip(Text1, &QFont::setUnderline, &QFont::underline);
    mnunone->setChecked(false);
}

void Form1::mnunone_Click()
{
    mnunone->setChecked(true);
    mnubold->setChecked(false);
    mnuitallic->setChecked(false);
    mnuunderlined->setChecked(false);
    QFont font = Text1->font();
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    Text1->setFont(font);
}
