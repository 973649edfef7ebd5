#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QPushButton;
class QTextEdit;

// The about window: borderless and black, the program's name and version, and a short text
// that scrolls slowly upward until the window is closed with "Tamam".
class frmAbout : public QDialog
{
    Q_OBJECT

public:
    explicit frmAbout(QWidget *parent = nullptr);

    // The ten lines of the information text, each followed by CR LF.
    static QString informationText();
    // Where the text box starts, in twips from the top of the window.
    static constexpr int StartTop = 4050;

    // Loads the window afresh: text built, box at StartTop, timer running.
    void Form_Load();
    void Timer1_Timer();
    void Text1_GotFocus();
    void Command1_Click();

    // The text box's top, in twips.
    double textTop() const { return m_top; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int twips(double t) const;
    void placeText();
    void unload();

    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QTextEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
    QTimer Timer1;
    float m_top = StartTop; // single precision, as the box's Top always was
    bool m_loaded = false;
};
