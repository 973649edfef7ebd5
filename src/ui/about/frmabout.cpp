#include "frmabout.h"

#include "ui/main/fonts.h"

#include <QGuiApplication>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>

frmAbout::frmAbout(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), Timer1(this)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Form1"));
    setFixedSize(twips(7605), twips(4935));
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);

    QPalette grey = palette();
    grey.setColor(QPalette::WindowText, QColor(192, 192, 192));
    Label1 = new QLabel(QStringLiteral("Vornel"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips(75), twips(150), twips(1365), twips(465));
    Label2 = new QLabel(QStringLiteral(" v.1.00"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(0, twips(600), twips(1365), twips(465));
    for (QLabel *label : {Label1, Label2}) {
        label->setFont(Fonts::tahoma(18, true, true));
        label->setPalette(grey);
        label->setTextFormat(Qt::PlainText);
    }

    Text1 = new QTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFont(Fonts::tahoma(11.25));
    Text1->setReadOnly(true);
    Text1->setFrameShape(QFrame::NoFrame);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setFocusPolicy(Qt::ClickFocus);
    Text1->setAccessibleName(QStringLiteral("Bilgi"));
    QPalette whiteOnBlack = Text1->palette();
    whiteOnBlack.setColor(QPalette::Base, Qt::black);
    whiteOnBlack.setColor(QPalette::Text, Qt::white);
    Text1->setPalette(whiteOnBlack);
    Text1->installEventFilter(this);

    Command1 = new QPushButton(QStringLiteral("Tamam"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twips(75), twips(4425), twips(840), twips(465));
    Command1->setFont(Fonts::tahoma(9.75, true));
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &frmAbout::Command1_Click);

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(20);
    connect(&Timer1, &QTimer::timeout, this, &frmAbout::Timer1_Timer);
}

int frmAbout::twips(double t) const
{
    return qRound(t * logicalDpiY() / 1440.0);
}

QString frmAbout::informationText()
{
    const QString lines[] = {
        QStringLiteral("Bu haberleşme yazılımı"),
        QStringLiteral("Vornel geliştiricileri tarafından yazılmıştır."),
        QStringLiteral("Yazılım, Vornel geliştiricilerinin izni olmadan"),
        QStringLiteral("kopyalanamaz ve dağıtılamaz."),
        QStringLiteral("Yazılım genel olarak;"),
        QStringLiteral("Yerel bir ağ içerisinde bulunan kullanıcıların"),
        QStringLiteral("birbiri ile haberleşmelerini sağlamak amacı"),
        QStringLiteral("ile yazılmıştır. Yapılan yazışmalar"),
        QStringLiteral("sistem tarafından kayıt altına ALINMAZ!"),
        QStringLiteral("Vornel geliştiricileri, 2026"),
    };
    QString text = lines[0] + QStringLiteral("\r\n");
    for (int i = 1; i < 10; ++i)
        text += lines[i] + QStringLiteral("\r\n");
    return text;
}

void frmAbout::Form_Load()
{
    Text1->setPlainText(informationText());
    QTextOption centred = Text1->document()->defaultTextOption();
    centred.setAlignment(Qt::AlignHCenter);
    Text1->document()->setDefaultTextOption(centred);
    Text1->setFocusPolicy(Qt::ClickFocus); // no tab stop
    m_top = StartTop;
    placeText();
    Timer1.start();
    m_loaded = true;
    Command1->setFocus();
}

void frmAbout::placeText()
{
    Text1->setGeometry(twips(2100), twips(m_top), twips(5190), twips(2640));
}

void frmAbout::Timer1_Timer()
{
    m_top = m_top - 10;
    if (m_top <= -2350)
        m_top = 4900;
    placeText();
}

void frmAbout::Text1_GotFocus()
{
    Command1->setFocus();
}

void frmAbout::Command1_Click()
{
    unload();
    // The window that owns us is the main window.
    if (QWidget *main = parentWidget())
        main->show();
}

void frmAbout::unload()
{
    m_loaded = false;
    Timer1.stop();
    hide();
    setResult(QDialog::Accepted);
}

bool frmAbout::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Text1 && event->type() == QEvent::FocusIn)
        Text1_GotFocus();
    return QDialog::eventFilter(watched, event);
}

void frmAbout::showEvent(QShowEvent *event)
{
    // Only showing an unloaded window loads it; a restore after minimising (the window
    // system's own show) finds it loaded and scrolling.
    if (!m_loaded) {
        Form_Load();
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect r(QPoint(), size());
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }
    QDialog::showEvent(event);
}

void frmAbout::hideEvent(QHideEvent *event)
{
    // However the window goes (Tamam, Escape, closed from outside), it is unloaded; being
    // minimised, by itself or with the main window, is the window system's own hide and
    // leaves it loaded.
    if (!event->spontaneous()) {
        m_loaded = false;
        Timer1.stop();
    }
    QDialog::hideEvent(event);
}
