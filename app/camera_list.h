// The camera list: the table model whose rows the merge writes (through the
// row-change queue, on the UI thread) and the list control that shows it.
#pragma once

#include "discovery/device_list.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class CCameraListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 5;

    // One queued change of the list, as the merge makes it.
    struct Change {
        enum Kind { Insert, Text, Image, DeleteAll, ToolTip } kind;
        int row = 0;
        int column = 0;
        int image = -1;
        QString text;
    };

    explicit CCameraListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Applies a batch of changes in order, with one insertion notice for the
    // rows appended at the end and one change notice for the cells updated.
    void Apply(const std::vector<Change>& changes);

    QString ItemText(int row, int column) const;
    int ItemImage(int row, int column) const;  // -1: no image

private:
    struct Row {
        std::array<QString, kColumns> text;
        std::array<int, kColumns> image{-1, -1, -1, -1, -1};
        std::array<QString, kColumns> tip;  // a cell's own tooltip (plain text)
    };
    Row* Find(int row, std::vector<Row>& appended);
    void CommitAppended(std::vector<Row>& appended);
    void CommitDirty();

    std::vector<Row> rows;
    std::vector<QIcon> images;
    int dirtyFirst = -1;
    int dirtyLast = -1;
};

// Receives the merge's row changes on any thread, while the merge holds the
// device lock: it only queues them and posts one flush to the UI thread, so a
// discovery thread never waits for the UI thread.
class CRowChangeQueue : public IDeviceListSink {
public:
    // `post` asks the UI thread to call Flush later; it must not block.
    explicit CRowChangeQueue(std::function<void()> post);

    void InsertRow(int row, const std::string& nameText) override;
    void SetItemText(int row, int column, const std::string& text) override;
    void SetItemImage(int row, int column, int image) override;
    void DeleteAllRows() override;
    void SetItemToolTip(int row, int column, const std::string& text) override;

    // Takes every queued change (UI thread).
    std::vector<CCameraListModel::Change> Take();

private:
    void Push(CCameraListModel::Change change);

    std::mutex mutex;
    std::vector<CCameraListModel::Change> pending;
    bool posted = false;
    std::function<void()> post;
};

// The rows as the list shows them: sorted by the column whose header was
// clicked (addresses by their numbers, not their text), narrowed to those
// with the filter text in any column. Until a header is clicked the rows
// keep the order in which the cameras were found. The record of a shown row
// is the one at its source row.
class CCameraListProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit CCameraListProxy(CCameraListModel* source, QObject* parent = nullptr);

    // By shown row.
    QString ItemText(int row, int column) const;
    int ItemImage(int row, int column) const;
    int SourceRow(int row) const;      // -1 when there is no such shown row

    void SetFilterText(const QString& text);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    CCameraListModel* source;
};

// The selection of the list. Besides indexes of the shown rows it takes
// those of the source model (the records' rows) and selects their rows
// wherever they are shown.
class CCameraSelectionModel : public QItemSelectionModel {
    Q_OBJECT
public:
    explicit CCameraSelectionModel(CCameraListProxy* proxy, QObject* parent = nullptr);
    using QItemSelectionModel::select;
    void select(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override;
    void select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) override;

private:
    CCameraListProxy* proxy;
};

// The list control (id 1000): report view, full-row select, several rows may
// be selected.
// It reports clicks and double clicks anywhere on the list, as the list
// control's notifications do, and right clicks with their screen position.
class CCameraListCtrl : public QTreeView {
    Q_OBJECT
public:
    explicit CCameraListCtrl(QWidget* parent = nullptr);

signals:
    void Clicked();
    void DoubleClicked();
    void RightClicked(const QPoint& globalPos);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};
