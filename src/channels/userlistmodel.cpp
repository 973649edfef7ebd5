#include "userlistmodel.h"

#include "removeduplicates.h"

UserListModel::UserListModel(QObject *parent) : QAbstractListModel(parent) {}

int UserListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant UserListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_entries.at(index.row());
    return {};
}

bool UserListModel::addItem(const QString &text)
{
    if (m_entries.size() >= MaxEntries)
        return false;
    const int row = int(m_entries.size());
    beginInsertRows({}, row, row);
    m_entries.append(text);
    endInsertRows();
    m_addedSinceCheck = true;
    return true;
}

bool UserListModel::removeItem(int row)
{
    if (row < 0 || row >= m_entries.size())
        return false;
    beginRemoveRows({}, row, row);
    m_entries.removeAt(row);
    endRemoveRows();
    return true;
}

void UserListModel::clear()
{
    beginResetModel();
    m_entries.clear();
    endResetModel();
    ++m_generation;
    m_addedSinceCheck = false;
}

void UserListModel::removeDuplicates(int *selectedRow)
{
    if (!m_addedSinceCheck)
        return;
    m_addedSinceCheck = false;
    QList<QString> entries = m_entries;
    int row = *selectedRow;
    if (RemoveDuplicates(entries, &row) == 0)
        return;
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
    *selectedRow = row;
}
