#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QString>

// The entries of the user list, in the order they arrived. Unsorted; at most MaxEntries.
class UserListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // Counts and positions are signed 16-bit.
    static constexpr int MaxEntries = 32767;

    explicit UserListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    const QList<QString> &entries() const { return m_entries; }
    int count() const { return int(m_entries.size()); }
    // Appends a new last entry; false, and nothing changes, when the list is full.
    bool addItem(const QString &text);
    bool removeItem(int row);
    void clear();
    // Drops later copies of equal entries. selectedRow follows the selected entry.
    // Does nothing when no entry was added since the last call.
    void removeDuplicates(int *selectedRow);
    // Changes whenever the list is emptied, so work queued before can tell.
    quint64 generation() const { return m_generation; }

private:
    QList<QString> m_entries;
    quint64 m_generation = 0;
    bool m_addedSinceCheck = false;
};
