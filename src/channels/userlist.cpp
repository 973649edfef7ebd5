// The user list: entries from the server, duplicate clean-up, the count, removal by name.
#include "channels/namesearch.h"
#include "ui/main/form1.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>

void Form1::Winsock2_DataArrival(qint32)
{
    (void)Winsock2.GetData(UserListData);
    // A full list drops the arrival.
    m_userList.addItem(UserListData);
}

void Form1::Timer1_Timer()
{
    int selected = listIndex();
    const int before = selected;
    m_userList.removeDuplicates(&selected);
    if (selected != before || (selected >= 0 && listIndex() != selected))
        setListIndex(selected);
    Label4->setText(QString::number(m_userList.count()) + QStringLiteral(" Kullanıcı bağlı"));
    Label4->adjustSize();
}

void Form1::Text4_Change()
{
    setListIndex(NameSearch::find(m_userList.entries(), Text4->text()));
}

void Form1::Timer2_Timer()
{
    if (!m_pendingRemovals.empty()) {
        const PendingRemoval due = m_pendingRemovals.front();
        m_pendingRemovals.pop_front();
        // What goes is the departed user's own entry, whatever is selected by now; after a
        // disconnect emptied the list there is nothing of that user's left to remove.
        if (due.listGeneration == m_userList.generation())
            m_userList.removeItem(NameSearch::findEqual(m_userList.entries(), due.nickname));
    }
    if (m_pendingRemovals.empty()) {
        Timer2.stop();
        Text4->clear();
    } else {
        scheduleNextRemoval();
    }
}

void Form1::scheduleNextRemoval()
{
    if (m_pendingRemovals.empty())
        return;
    Timer2.start(int(qMax<qint64>(0, m_pendingRemovals.front().due - m_clock.elapsed())));
}

int Form1::listIndex() const
{
    const QModelIndexList rows = List1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void Form1::setListIndex(int row)
{
    QItemSelectionModel *selection = List1->selectionModel();
    if (row < 0 || row >= m_userList.count()) {
        selection->clearSelection();
        return;
    }
    const QModelIndex index = m_userList.index(row);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    List1->scrollTo(index);
}
