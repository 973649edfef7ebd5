// The user list: the duplicate clean-up and the count, and the entry a departure highlights.
#include "form1.h"
#include "protocol/namesearch.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>

void Form1::Timer1_Timer()
{
    UserListModel &list = m_session.userList();
    int selected = listIndex();
    const int before = selected;
    list.removeDuplicates(&selected);
    if (selected != before || (selected >= 0 && listIndex() != selected))
        setListIndex(selected);
    Label4->setText(QString::number(list.count()) + QStringLiteral(" Kullanıcı bağlı"));
    Label4->adjustSize();
}

void Form1::Text4_Change()
{
    setListIndex(NameSearch::find(m_session.userList().entries(), Text4->text()));
}

int Form1::listIndex() const
{
    const QModelIndexList rows = List1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void Form1::setListIndex(int row)
{
    QItemSelectionModel *selection = List1->selectionModel();
    if (row < 0 || row >= m_session.userList().count()) {
        selection->clearSelection();
        return;
    }
    const QModelIndex index = m_session.userList().index(row);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    List1->scrollTo(index);
}
