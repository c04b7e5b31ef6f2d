#pragma once
// The widgets of the file list: a model over the entries, the delegate that draws a row
// (folder bitmaps, names), and the list view that reports typed characters and
// double-clicks to the window instead of doing its own type-ahead.

#include "FileList.h"

#include <QAbstractListModel>
#include <QHash>
#include <QIcon>
#include <QListView>
#include <QPixmap>
#include <QStyledItemDelegate>

#include <vector>

namespace oxlume {

class FileListModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // DisplayRole: the drawn part as text (for accessibility and tooltips).
    QVariant data(const QModelIndex &index, int role) const override;

    // Replaces the whole content in one model reset.
    void setEntries(std::vector<FileEntry> entries);
    const std::vector<FileEntry> &entries() const { return m_entries; }
    // Raises RangeCheckError outside 0..count-1.
    const FileEntry &entry(int row) const;
    int count() const { return static_cast<int>(m_entries.size()); }

private:
    std::vector<FileEntry> m_entries;
};

// Draws a row: files as their name at left+2; folders as a bitmap at left+2 and the name
// without its brackets at left+17; the parent entry with the "up" bitmap. Where the
// desktop's icon theme has icons for folders, they take the bitmaps' place, and image
// files get their type's icon too, all as tall as a row and sharp at any scale.
class FileListDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    FileListDelegate(const FileListModel &model, QPixmap folder, QPixmap folderUp,
                     QObject *parent = nullptr);

    void setRowHeight(int height) { m_rowHeight = height; }
    int rowHeight() const { return m_rowHeight; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    // The theme's icon for the entry; null without a theme that has folder icons.
    QIcon themeIcon(const FileEntry &entry, bool up) const;

    const FileListModel &m_model;
    QPixmap m_folder;
    QPixmap m_folderUp;
    int m_rowHeight = 13;
    mutable QHash<QString, QIcon> m_typeIcons; // by lower-case extension
    mutable QString m_iconTheme;               // the theme the cache was filled from
};

class FileListView : public QListView {
    Q_OBJECT
public:
    explicit FileListView(QWidget *parent = nullptr);

    // Selects row (or nothing for -1) without telling anyone; the caller acts on it.
    void setSelectedRow(int row);
    // -1 when nothing is selected.
    int selectedRow() const;

signals:
    // A character typed on the list: 13 for Return/Enter, 32 for space, else the
    // character's UTF-8 bytes.
    void characterTyped(const QByteArray &character);
    void doubleClickedEntry();
    // The user moved the selection (mouse or keys).
    void selectionMoved();
    void rightPressed(const QPoint &position);
    // Right (1) or Left (-1): the next or previous image, as in the image area. The list
    // is vertical, so the two keys have nothing else to do here.
    void stepRequested(int step);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyboardSearch(const QString &) override {} // the window finds entries itself
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    bool m_silent = false;
};

} // namespace oxlume
