#include "computers/ZDServiceOutlineModel.h"

#include "fleet/ZDServiceIcons.h"
#include "process/ZDThreads.h"

#include <QApplication>
#include <QMimeData>
#include <QStyle>

ZDServiceOutlineModel::ZDServiceOutlineModel(ZDServiceOutline *outline, QObject *parent)
    : QAbstractItemModel(parent)
    , m_outline(outline)
{
    reload();
    connect(m_outline, &ZDServiceOutline::outlineChanged, this, &ZDServiceOutlineModel::reload);
    connect(m_outline->discovery(), &ZDDiscovery::serviceRefreshed, this, &ZDServiceOutlineModel::refreshService);
}

void ZDServiceOutlineModel::reload()
{
    beginResetModel();
    m_nodes.clear();
    m_icons.clear();
    m_nodes.append(Node{});
    const auto top = m_outline->topLevelItems();
    for (const auto &item : top) {
        const int index = int(m_nodes.size());
        m_nodes[0].children.append(index);
        m_nodes.append(Node{0, int(m_nodes[0].children.size() - 1), {}, item});
        if (item.group) {
            for (const auto &child : ZDServiceOutline::sortedChildren(item.group)) {
                const int childIndex = int(m_nodes.size());
                m_nodes[index].children.append(childIndex);
                m_nodes.append(Node{index, int(m_nodes[index].children.size() - 1), {}, {nullptr, child}});
            }
        }
    }
    endResetModel();
    Q_EMIT reloaded();
}

void ZDServiceOutlineModel::refreshService(const ZDService *service)
{
    m_icons.remove(service);
    for (qsizetype i = 1; i < m_nodes.size(); ++i) {
        if (m_nodes.at(i).item.service.get() == service) {
            const QModelIndex idx = createIndex(m_nodes.at(i).row, 0, quintptr(i));
            Q_EMIT dataChanged(idx, idx);
            // The group's badge counts this computer.
            const int parentNode = m_nodes.at(i).parent;
            if (parentNode > 0) {
                const QModelIndex p = createIndex(m_nodes.at(parentNode).row, 0, quintptr(parentNode));
                Q_EMIT dataChanged(p, p);
            }
        }
    }
}

const ZDServiceOutlineModel::Node *ZDServiceOutlineModel::node(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    const quintptr id = index.internalId();
    return id < quintptr(m_nodes.size()) ? &m_nodes.at(qsizetype(id)) : nullptr;
}

QModelIndex ZDServiceOutlineModel::headerIndex() const { return createIndex(0, 0, quintptr(0)); }

QModelIndex ZDServiceOutlineModel::indexForItem(const ZDServiceOutline::Item &item) const
{
    for (qsizetype i = 1; i < m_nodes.size(); ++i) {
        if (m_nodes.at(i).item == item)
            return createIndex(m_nodes.at(i).row, 0, quintptr(i));
    }
    return {};
}

ZDServiceOutline::Item ZDServiceOutlineModel::itemForIndex(const QModelIndex &index) const
{
    const Node *n = node(index);
    return n ? n->item : ZDServiceOutline::Item{};
}

ZDServiceOutlineModel::Kind ZDServiceOutlineModel::kindOf(const QModelIndex &index) const
{
    const Node *n = node(index);
    if (!n || n == &m_nodes.first())
        return HeaderKind;
    return n->item.group ? GroupKind : ServiceKind;
}

QModelIndex ZDServiceOutlineModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row == 0 ? headerIndex() : QModelIndex();
    const Node *p = node(parent);
    if (!p || row >= p->children.size())
        return {};
    return createIndex(row, 0, quintptr(p->children.at(row)));
}

QModelIndex ZDServiceOutlineModel::parent(const QModelIndex &child) const
{
    const Node *n = node(child);
    if (!n || n->parent < 0)
        return {};
    return createIndex(m_nodes.at(n->parent).row, 0, quintptr(n->parent));
}

int ZDServiceOutlineModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return 1;
    if (parent.column() != 0)
        return 0;
    const Node *p = node(parent);
    return p ? int(p->children.size()) : 0;
}

int ZDServiceOutlineModel::columnCount(const QModelIndex &) const { return 1; }

QImage ZDServiceOutlineModel::iconFor(const ZDService &service) const
{
    const auto cached = m_icons.constFind(&service);
    if (cached != m_icons.cend())
        return *cached;
    QImage image = ZDServiceIcons::decode(service.icon());
    if (image.isNull()) {
        // The model the agent published, else a desktop tower as the plain computer.
        const QString model = service.hasNetService()
            ? service.netService().txt.value(QStringLiteral("model")).toString()
            : QString();
        image = ZDServiceIcons::iconForModel(model, ZDServiceIcons::kListIconSize);
        if (image.isNull())
            image = ZDServiceIcons::iconForModel(QStringLiteral("MacPro"), ZDServiceIcons::kListIconSize);
    }
    if (image.isNull())
        image = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(16, 16).toImage();
    if (!image.isNull())
        image = image.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_icons.insert(&service, image);
    return image;
}

QVariant ZDServiceOutlineModel::data(const QModelIndex &index, int role) const
{
    const Node *n = node(index);
    if (!n)
        return {};
    const Kind kind = kindOf(index);
    if (role == KindRole)
        return int(kind);
    if (kind == HeaderKind)
        return role == Qt::DisplayRole ? QVariant(QString::fromLatin1(ZDServiceOutline::kHeaderTitle)) : QVariant();
    if (kind == GroupKind) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return n->item.group->name();
        case BadgeCountRole:
            return ZDServiceOutline::maintenanceCount(n->item.group);
        default:
            return {};
        }
    }
    const ZDService &service = *n->item.service;
    switch (role) {
    case Qt::DisplayRole:
        return service.name();
    case Qt::DecorationRole:
        return iconFor(service);
    case Qt::ToolTipRole: {
        const QString tip = ZDServiceOutline::toolTipForService(service);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case RowStateRole:
        return int(ZDServiceOutline::rowState(service));
    case HasErrorRole:
        return !service.isConnected() || service.errorCode() > 0 || service.isOpenMode(); // the warning badge
    case ConnectedRole:
        return service.isConnected();
    default:
        return {};
    }
}

bool ZDServiceOutlineModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || kindOf(index) != GroupKind || value.typeId() != QMetaType::QString)
        return false;
    const ZDServiceGroupPtr group = itemForIndex(index).group;
    const QString name = value.toString();
    if (!m_outline->canRenameGroup(group, name))
        return false;
    // The rename rebuilds the rows: not while the view is still closing the editor.
    ZDThreads::post(this, [this, group, name] { m_outline->renameGroup(group, name); });
    return true;
}

Qt::ItemFlags ZDServiceOutlineModel::flags(const QModelIndex &index) const
{
    if (!node(index))
        return Qt::ItemIsDropEnabled;
    switch (kindOf(index)) {
    case HeaderKind:
        return Qt::ItemIsEnabled | Qt::ItemIsDropEnabled;
    case GroupKind:
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsDropEnabled;
    case ServiceKind:
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
    }
    return Qt::NoItemFlags;
}

QStringList ZDServiceOutlineModel::mimeTypes() const { return {QString::fromLatin1(ZDServiceOutline::kPasteboardType)}; }

QMimeData *ZDServiceOutlineModel::mimeData(const QModelIndexList &indexes) const
{
    QList<ZDServiceOutline::Item> items;
    for (const QModelIndex &index : indexes) {
        if (kindOf(index) == HeaderKind)
            return nullptr;
        items.append(itemForIndex(index));
    }
    const QByteArray payload = ZDServiceOutline::pasteboardData(items);
    if (payload.isEmpty())
        return nullptr; // a group in the drag, or nothing with a key
    auto *mime = new QMimeData;
    mime->setData(QString::fromLatin1(ZDServiceOutline::kPasteboardType), payload);
    return mime;
}

Qt::DropActions ZDServiceOutlineModel::supportedDropActions() const { return Qt::MoveAction | Qt::CopyAction; }
Qt::DropActions ZDServiceOutlineModel::supportedDragActions() const { return Qt::MoveAction; }

bool ZDServiceOutlineModel::canDropMimeData(const QMimeData *data, Qt::DropAction, int, int,
                                            const QModelIndex &parent) const
{
    if (!data || !data->hasFormat(QString::fromLatin1(ZDServiceOutline::kPasteboardType)))
        return false;
    // Between rows counts as onto the row's parent: the header or a group.
    return ZDServiceOutline::validateDrop(parent.isValid() && kindOf(parent) == ServiceKind);
}

bool ZDServiceOutlineModel::dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                         const QModelIndex &parent)
{
    if (!canDropMimeData(data, action, row, column, parent))
        return false;
    const ZDServiceGroupPtr target = parent.isValid() && kindOf(parent) == GroupKind ? itemForIndex(parent).group : nullptr;
    // The outline rebuilds the rows; removeRows() stays unimplemented so that a
    // finished move never deletes anything on the view's side.
    return m_outline->acceptDrop(data->data(QString::fromLatin1(ZDServiceOutline::kPasteboardType)), target);
}
