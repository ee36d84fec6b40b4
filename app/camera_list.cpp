#include "app/camera_list.h"

#include "app/icons.h"
#include "discovery/adapters.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTextDocument>

#include <algorithm>
#include <utility>

namespace {
const char* const kHeaders[CCameraListModel::kColumns] = {"Name", "IP Address", "MAC Address", "Interface", ""};

QString ImageToolTip(int image) {
    switch (image) {
    case 0: return QStringLiteral("Reachable from its adapter");
    case 1: return QStringLiteral("Outside the subnet of its adapter");
    case 2: return QStringLiteral("Plain resource service switched off (TLS only)");
    case 4: return QStringLiteral("IP change pending");
    case 5: return QStringLiteral("Another camera answers at this address");
    default: return {};
    }
}
}  // namespace

CCameraListModel::CCameraListModel(QObject* parent) : QAbstractTableModel(parent), images(icons::ListImages()) {
    images.push_back(icons::ListIcon(kImageDuplicate));  // beside the image list: the shared-address mark
}

int CCameraListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
}

int CCameraListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant CCameraListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows.size()) || index.column() >= kColumns) return {};
    const Row& row = rows[static_cast<size_t>(index.row())];
    const size_t column = static_cast<size_t>(index.column());
    switch (role) {
    case Qt::DisplayRole: return row.text[column];
    case Qt::DecorationRole: {
        const int image = row.image[column];
        if (image >= 0 && image < static_cast<int>(images.size())) return images[static_cast<size_t>(image)];
        return {};
    }
    case Qt::ToolTipRole: {
        QStringList tips;
        if (!row.text[column].isEmpty()) tips << row.text[column];
        if (const QString tip = ImageToolTip(row.image[column]); !tip.isEmpty()) tips << tip;
        if (!row.tip[column].isEmpty()) tips << row.tip[column];
        // The padlock column lies at the right edge; the name tells it too.
        if (column == 0 && row.image[kColumns - 1] >= 0) tips << ImageToolTip(row.image[kColumns - 1]);
        if (tips.isEmpty()) return {};
        // The name comes from the network. A tooltip guesses rich text
        // (Qt::mightBeRichText), so a name with tags would be rendered as
        // markup: hand it over as escaped HTML, which always shows as typed.
        return Qt::convertFromPlainText(tips.join(QLatin1Char('\n')), Qt::WhiteSpaceNormal);
    }
    default: return {};
    }
}

QVariant CCameraListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(kHeaders[section]);
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

QString CCameraListModel::ItemText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 || column >= kColumns) return {};
    return rows[static_cast<size_t>(row)].text[static_cast<size_t>(column)];
}

int CCameraListModel::ItemImage(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 || column >= kColumns) return -1;
    return rows[static_cast<size_t>(row)].image[static_cast<size_t>(column)];
}

CCameraListModel::Row* CCameraListModel::Find(int row, std::vector<Row>& appended) {
    if (row < 0) return nullptr;
    const size_t r = static_cast<size_t>(row);
    if (r < rows.size()) {
        dirtyFirst = dirtyFirst < 0 ? row : std::min(dirtyFirst, row);
        dirtyLast = std::max(dirtyLast, row);
        return &rows[r];
    }
    if (r - rows.size() < appended.size()) return &appended[r - rows.size()];
    return nullptr;  // a row that does not exist: no effect
}

void CCameraListModel::CommitDirty() {
    if (dirtyFirst >= 0 && dirtyLast < static_cast<int>(rows.size()))
        emit dataChanged(index(dirtyFirst, 0), index(dirtyLast, kColumns - 1));
    dirtyFirst = dirtyLast = -1;
}

void CCameraListModel::CommitAppended(std::vector<Row>& appended) {
    if (appended.empty()) return;
    const int first = static_cast<int>(rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(appended.size()) - 1);
    std::move(appended.begin(), appended.end(), std::back_inserter(rows));
    endInsertRows();
    appended.clear();
}

void CCameraListModel::Apply(const std::vector<Change>& changes) {
    std::vector<Row> appended;  // rows inserted at the end, not yet announced
    for (const Change& change : changes) {
        switch (change.kind) {
        case Change::Insert: {
            Row row;
            row.text[0] = change.text;
            const int logicalSize = static_cast<int>(rows.size() + appended.size());
            if (change.row >= logicalSize || change.row < 0) {
                appended.push_back(std::move(row));  // an insert past the end appends
            } else {
                CommitDirty();
                CommitAppended(appended);
                beginInsertRows(QModelIndex(), change.row, change.row);
                rows.insert(rows.begin() + change.row, std::move(row));
                endInsertRows();
            }
            break;
        }
        case Change::Text:
        case Change::Image:
        case Change::ToolTip: {
            if (change.column < 0 || change.column >= kColumns) break;
            Row* row = Find(change.row, appended);
            if (!row) break;
            const size_t column = static_cast<size_t>(change.column);
            if (change.kind == Change::Text)
                row->text[column] = change.text;
            else if (change.kind == Change::Image)
                row->image[column] = change.image;
            else
                row->tip[column] = change.text;
            break;
        }
        case Change::DeleteAll:
            appended.clear();
            dirtyFirst = dirtyLast = -1;
            beginResetModel();
            rows.clear();
            endResetModel();
            break;
        }
    }
    CommitDirty();
    CommitAppended(appended);
}

CRowChangeQueue::CRowChangeQueue(std::function<void()> post) : post(std::move(post)) {}

void CRowChangeQueue::Push(CCameraListModel::Change change) {
    bool postNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(std::move(change));
        if (!posted) posted = postNow = true;
    }
    if (postNow && post) post();
}

void CRowChangeQueue::InsertRow(int row, const std::string& nameText) {
    Push({CCameraListModel::Change::Insert, row, 0, -1, QString::fromStdString(nameText)});
}

void CRowChangeQueue::SetItemText(int row, int column, const std::string& text) {
    Push({CCameraListModel::Change::Text, row, column, -1, QString::fromStdString(text)});
}

void CRowChangeQueue::SetItemImage(int row, int column, int image) {
    Push({CCameraListModel::Change::Image, row, column, image, {}});
}

void CRowChangeQueue::DeleteAllRows() { Push({CCameraListModel::Change::DeleteAll, 0, 0, -1, {}}); }

void CRowChangeQueue::SetItemToolTip(int row, int column, const std::string& text) {
    Push({CCameraListModel::Change::ToolTip, row, column, -1, QString::fromStdString(text)});
}

std::vector<CCameraListModel::Change> CRowChangeQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<CCameraListModel::Change> taken;
    taken.swap(pending);
    posted = false;
    return taken;
}

CCameraListProxy::CCameraListProxy(CCameraListModel* source, QObject* parent)
    : QSortFilterProxyModel(parent), source(source) {
    setSourceModel(source);
    setFilterKeyColumn(-1);  // every column
    setFilterCaseSensitivity(Qt::CaseInsensitive);
    setSortCaseSensitivity(Qt::CaseInsensitive);
    setDynamicSortFilter(true);
}

int CCameraListProxy::SourceRow(int row) const {
    if (row < 0 || row >= rowCount()) return -1;
    return mapToSource(index(row, 0)).row();
}

QString CCameraListProxy::ItemText(int row, int column) const { return source->ItemText(SourceRow(row), column); }

int CCameraListProxy::ItemImage(int row, int column) const { return source->ItemImage(SourceRow(row), column); }

void CCameraListProxy::SetFilterText(const QString& text) { setFilterFixedString(text.trimmed()); }

bool CCameraListProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const int column = left.column();
    int order = 0;
    if (column == kColIpAddress) {
        // Empty or unparsable cells (an address being changed) first.
        uint32_t a = 0, b = 0;
        const bool okA = ParseIPv4(source->ItemText(left.row(), column).toStdString(), a);
        const bool okB = ParseIPv4(source->ItemText(right.row(), column).toStdString(), b);
        order = okA != okB ? (okA ? 1 : -1) : (a < b ? -1 : a > b ? 1 : 0);
    } else if (column == kColLock) {
        order = source->ItemImage(left.row(), column) - source->ItemImage(right.row(), column);
    } else {
        order = source->ItemText(left.row(), column).compare(source->ItemText(right.row(), column), Qt::CaseInsensitive);
    }
    // Equal cells keep the order in which the cameras were found.
    return order != 0 ? order < 0 : left.row() < right.row();
}

CCameraSelectionModel::CCameraSelectionModel(CCameraListProxy* proxy, QObject* parent)
    : QItemSelectionModel(proxy, parent), proxy(proxy) {}

void CCameraSelectionModel::select(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) {
    QItemSelectionModel::select(index.model() == proxy->sourceModel() ? proxy->mapFromSource(index) : index, command);
}

void CCameraSelectionModel::select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) {
    const bool source = !selection.isEmpty() && selection.first().model() == proxy->sourceModel();
    QItemSelectionModel::select(source ? proxy->mapSelectionFromSource(selection) : selection, command);
}

CCameraListCtrl::CCameraListCtrl(QWidget* parent) : QTreeView(parent) {
    setObjectName(QStringLiteral("cameraList"));  // control 1000
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Sorting follows a click on a header; until then the rows keep the
    // order in which the cameras were found.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    setIconSize(QSize(16, 16));
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CCameraListCtrl::mousePressEvent(QMouseEvent* event) {
    QTreeView::mousePressEvent(event);
    // A press beside every row deselects, as in a report list.
    if (!indexAt(event->position().toPoint()).isValid()) clearSelection();
}

void CCameraListCtrl::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) emit Clicked();
}

void CCameraListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) emit DoubleClicked();
}

void CCameraListCtrl::contextMenuEvent(QContextMenuEvent* event) {
    emit RightClicked(event->globalPos());
    event->accept();
}
