#pragma once

#include "channels/foundservers.h"

#include <QAbstractListModel>
#include <QList>

class ServerBrowser;

// The servers a browser has found, as the server field offers them: each as its name and
// address, picked by its name.
class FoundServersModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit FoundServersModel(const ServerBrowser &browser, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    // Qt::DisplayRole: "name (address)"; Qt::EditRole: the name, what picking it puts in the
    // field.
    QVariant data(const QModelIndex &index, int role) const override;

private:
    void refresh();

    const ServerBrowser &m_browser;
    QList<FoundServer> m_servers;
};
