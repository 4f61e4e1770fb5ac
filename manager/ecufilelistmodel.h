#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QVector>

// The files stored on the device, in the order the device listed them, with a tick box
// per file that marks it for the active selection.
class ECUFileListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit ECUFileListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    bool setHeaderData(
        int section, Qt::Orientation orientation, const QVariant &value, int role = Qt::EditRole) override;

    // The ticked names in row order: what "Apply Selection" stores as the active files.
    QStringList tickedNames() const;

public slots:
    void clear();
    void addItems(const QStringList &files);
    void remove(const QString &file);
    void select(const QStringList &files);
    // Kept so a failed configuration read has a reaction to call; the ticks stay as they are.
    void deselectAll();

private:
    struct Item
    {
        bool ticked = false;
        QString name;
    };

    QVector<Item> m_items;
};
