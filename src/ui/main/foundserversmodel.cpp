#include "foundserversmodel.h"

#include "channels/serverbrowser.h"

FoundServersModel::FoundServersModel(const ServerBrowser &browser, QObject *parent)
    : QAbstractListModel(parent), m_browser(browser)
{
    connect(&browser, &ServerBrowser::serversChanged, this, &FoundServersModel::refresh);
    refresh();
}

int FoundServersModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_servers.size());
}

QVariant FoundServersModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_servers.size())
        return {};
    const FoundServer &server = m_servers.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return QString(server.name + QStringLiteral(" (") + server.address.toString() + u')');
    case Qt::EditRole:
        return server.name;
    default:
        return {};
    }
}

void FoundServersModel::refresh()
{
    beginResetModel();
    m_servers = m_browser.servers();
    endResetModel();
}
