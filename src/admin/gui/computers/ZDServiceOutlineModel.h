#pragma once
// The computer list as an item model: one header row "SERVICES", below it the
// groups and computers of the core outline, each group with its computers.
// Drags carry the "ZDServicePBoard" payload; the core decides what a drop does.
#include "fleet/ZDServiceOutline.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QImage>
#include <QList>

class ZDServiceOutlineModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum Role {
        KindRole = Qt::UserRole + 1, // Kind
        RowStateRole,                // ZDServiceOutline::RowState as int (computers)
        BadgeCountRole,              // groups: children needing maintenance
        HasErrorRole,
        ConnectedRole,
    };
    enum Kind { HeaderKind, GroupKind, ServiceKind };

    explicit ZDServiceOutlineModel(ZDServiceOutline *outline, QObject *parent = nullptr);

    ZDServiceOutline *outline() const { return m_outline; }
    QModelIndex headerIndex() const;
    QModelIndex indexForItem(const ZDServiceOutline::Item &item) const;
    ZDServiceOutline::Item itemForIndex(const QModelIndex &index) const;
    Kind kindOf(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

    // Rebuilds the rows from the core outline.
    void reload();
    // Redraws the row of one computer.
    void refreshService(const ZDService *service);

Q_SIGNALS:
    void reloaded();

private:
    struct Node
    {
        int parent = -1; // node index, -1 for the header
        int row = 0;
        QList<int> children;
        ZDServiceOutline::Item item;
    };
    const Node *node(const QModelIndex &index) const;
    QImage iconFor(const ZDService &service) const;

    ZDServiceOutline *const m_outline;
    QList<Node> m_nodes; // [0] is the header
    // Decoded row icons; a refresh of the computer drops its entry.
    mutable QHash<const ZDService *, QImage> m_icons;
};
