#include "FileListView.h"

#include "platform/Errors.h"

#include <QKeyEvent>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace oxlume {

// --- Model ----------------------------------------------------------------------------

int FileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= count())
        return {};
    const std::string_view drawn = m_entries[static_cast<std::size_t>(index.row())].drawn();
    return QString::fromUtf8(drawn.data(), static_cast<qsizetype>(drawn.size()));
}

void FileListModel::setEntries(std::vector<FileEntry> entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

const FileEntry &FileListModel::entry(int row) const
{
    if (row < 0)
        throw RangeCheckError();
    return checkedAt(m_entries, static_cast<std::size_t>(row));
}

// --- Delegate -------------------------------------------------------------------------

FileListDelegate::FileListDelegate(const FileListModel &model, QPixmap folder, QPixmap folderUp,
                                   QObject *parent)
    : QStyledItemDelegate(parent)
    , m_model(model)
    , m_folder(std::move(folder))
    , m_folderUp(std::move(folderUp))
{
}

void FileListDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= m_model.count())
        return;
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group =
        option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    const QRect rect = option.rect;
    painter->save();
    painter->fillRect(rect,
                      option.palette.brush(group, selected ? QPalette::Highlight : QPalette::Base));
    painter->setPen(
        option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(option.font);

    const std::string_view drawn = m_model.entry(index.row()).drawn();
    const auto text = [](std::string_view bytes) {
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    };
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
    const bool folder = drawn.starts_with(" [");
    const bool up = folder && drawn.size() >= 4 && drawn.substr(2, 2) == "..";
    if (const QIcon icon = themeIcon(m_model.entry(index.row()), up); !icon.isNull()) {
        const int side = std::max(1, rect.height() - 2);
        icon.paint(painter, QRect(rect.left() + 2, rect.top() + 1, side, side));
        const std::string_view name = !folder            ? drawn
                                      : drawn.size() > 3 ? drawn.substr(2, drawn.size() - 3)
                                                         : std::string_view();
        painter->drawText(rect.adjusted(side + 6, 0, 0, 0), flags, text(name));
    } else if (!folder) {
        painter->drawText(rect.adjusted(2, 0, 0, 0), flags, text(drawn));
    } else {
        // Transparent bitmap pixels show the row's own fill.
        painter->drawPixmap(rect.left() + 2, rect.top(), up ? m_folderUp : m_folder);
        const std::string_view name =
            drawn.size() > 3 ? drawn.substr(2, drawn.size() - 3) : std::string_view();
        painter->drawText(rect.adjusted(17, 0, 0, 0), flags, text(name));
    }
    painter->restore();
}

QIcon FileListDelegate::themeIcon(const FileEntry &entry, bool up) const
{
    // A theme without a folder icon (none installed, or a broken one) gives the built-in
    // bitmaps for every row, so that folders and files never mix two kinds of picture.
    const QString theme = QIcon::themeName();
    if (theme != m_iconTheme) {
        m_iconTheme = theme;
        m_typeIcons.clear();
    }
    if (!QIcon::hasThemeIcon(QStringLiteral("folder")))
        return {};
    if (entry.isParent() || up)
        return QIcon::fromTheme(QStringLiteral("go-up"),
                                QIcon::fromTheme(QStringLiteral("folder")));
    if (entry.isFolderOrParent())
        return QIcon::fromTheme(QStringLiteral("folder"));
    const std::string_view key = entry.key();
    const std::size_t dot = key.rfind('.');
    const QString extension =
        dot == std::string_view::npos
            ? QString()
            : QString::fromUtf8(key.substr(dot + 1).data(), qsizetype(key.size() - dot - 1))
                  .toLower();
    const auto cached = m_typeIcons.constFind(extension);
    if (cached != m_typeIcons.constEnd())
        return *cached;
    // By name only: reading every listed file's content to draw a row would be far too slow.
    static const QMimeDatabase types;
    const QMimeType type =
        types.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("image-x-generic"));
    m_typeIcons.insert(extension, icon);
    return icon;
}

QSize FileListDelegate::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return {1, m_rowHeight};
}

// --- View -----------------------------------------------------------------------------

FileListView::FileListView(QWidget *parent)
    : QListView(parent)
{
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideNone);
}

void FileListView::setSelectedRow(int row)
{
    QItemSelectionModel *selection = selectionModel();
    if (!selection)
        return;
    m_silent = true;
    if (row < 0 || row >= model()->rowCount()) {
        selection->clear();
    } else {
        const QModelIndex index = model()->index(row, 0);
        selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        scrollTo(index);
    }
    m_silent = false;
}

int FileListView::selectedRow() const
{
    const QItemSelectionModel *selection = selectionModel();
    if (!selection)
        return -1;
    const QModelIndexList rows = selection->selectedIndexes();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void FileListView::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        emit characterTyped(QByteArray(1, '\r'));
        return;
    }
    const bool plain =
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (plain && (key == Qt::Key_Right || key == Qt::Key_Left)) {
        emit stepRequested(key == Qt::Key_Right ? 1 : -1);
        return;
    }
    const QString typed = event->text();
    if (typed.size() == 1 && typed.front().isPrint() && plain) {
        emit characterTyped(typed.toUtf8());
        return;
    }
    const int before = selectedRow();
    // With nothing selected, the cursor that a reset or the focus left on a row makes a move
    // onto that same row (Home onto row 0) no move at all, and so no selection: select it.
    static constexpr std::pair<int, CursorAction> kMoves[] = {
        {Qt::Key_Home, MoveHome}, {Qt::Key_End, MoveEnd},       {Qt::Key_Up, MoveUp},
        {Qt::Key_Down, MoveDown}, {Qt::Key_PageUp, MovePageUp}, {Qt::Key_PageDown, MovePageDown},
    };
    if (before < 0 && currentIndex().isValid()) {
        for (const auto &[moveKey, action] : kMoves) {
            if (moveKey == key && moveCursor(action, event->modifiers()) == currentIndex()) {
                selectionModel()->setCurrentIndex(currentIndex(),
                                                  QItemSelectionModel::ClearAndSelect);
                if (!m_silent)
                    emit selectionMoved();
                return;
            }
        }
    }
    QListView::keyPressEvent(event);
    if (!m_silent && selectedRow() != before)
        emit selectionMoved();
}

void FileListView::mouseDoubleClickEvent(QMouseEvent *event)
{
    QListView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit doubleClickedEntry();
}

void FileListView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        emit rightPressed(event->position().toPoint());
        return;
    }
    QListView::mousePressEvent(event);
    // Like a click on a list box: reported also when the row was already selected.
    if (event->button() == Qt::LeftButton)
        emit selectionMoved();
}

} // namespace oxlume
