#include "ecufilelistmodel.h"

namespace {

constexpr int tickColumn = 0;
constexpr int nameColumn = 1;

} // namespace

ECUFileListModel::ECUFileListModel(QObject *parent)
    : QAbstractTableModel(parent)
{ }

int ECUFileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_items.size();
}

int ECUFileListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant ECUFileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    if (section == tickColumn)
        return tr("On");
    if (section == nameColumn)
        return tr("Name");
    return QVariant();
}

QVariant ECUFileListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_items.size())
        return QVariant();
    const Item &item = m_items.at(index.row());
    if (index.column() == tickColumn && role == Qt::CheckStateRole)
        return item.ticked ? Qt::Checked : Qt::Unchecked;
    if (index.column() == nameColumn && role == Qt::DisplayRole)
        return item.name;
    return QVariant();
}

Qt::ItemFlags ECUFileListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // Rows are selectable so that the row Remove acts on is the one shown highlighted.
    if (index.column() == tickColumn)
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEditable;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool ECUFileListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.column() != tickColumn || role != Qt::CheckStateRole || index.row() < 0
        || index.row() >= m_items.size())
        return false;
    const bool ticked = value.toBool();
    Item &item = m_items[index.row()];
    if (item.ticked == ticked)
        return false;
    item.ticked = ticked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

bool ECUFileListModel::setHeaderData(int, Qt::Orientation, const QVariant &, int)
{
    return false;
}

QStringList ECUFileListModel::tickedNames() const
{
    QStringList names;
    for (const Item &item : m_items)
        if (item.ticked)
            names << item.name;
    return names;
}

void ECUFileListModel::clear()
{
    if (m_items.isEmpty())
        return;
    beginRemoveRows(QModelIndex(), 0, m_items.size() - 1);
    m_items.clear();
    endRemoveRows();
}

void ECUFileListModel::addItems(const QStringList &files)
{
    if (files.isEmpty())
        return;
    const int first = m_items.size();
    beginInsertRows(QModelIndex(), first, first + files.size() - 1);
    for (const QString &name : files)
        m_items.append(Item {false, name});
    endInsertRows();
}

void ECUFileListModel::remove(const QString &file)
{
    for (int row = m_items.size() - 1; row >= 0; --row) {
        if (m_items.at(row).name != file)
            continue;
        beginRemoveRows(QModelIndex(), row, row);
        m_items.remove(row);
        endRemoveRows();
    }
}

void ECUFileListModel::select(const QStringList &files)
{
    for (int row = 0; row < m_items.size(); ++row) {
        const bool wanted = files.contains(m_items.at(row).name, Qt::CaseSensitive);
        if (m_items.at(row).ticked == wanted)
            continue;
        m_items[row].ticked = wanted;
        const QModelIndex cell = index(row, tickColumn);
        emit dataChanged(cell, cell, {Qt::CheckStateRole});
    }
}

void ECUFileListModel::deselectAll()
{ }
