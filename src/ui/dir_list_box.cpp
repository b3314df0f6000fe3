#include "ui/dir_list_box.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>

#include "ui/directory_reader.h"

namespace flashupdate {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kLevelRole = Qt::UserRole + 1;
constexpr int kIndentPixels = 7;

// Shifts each row right by its level, so the rows draw the tree without being one.
class IndentDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem shifted(option);
        shifted.rect.setLeft(shifted.rect.left() + indent(index));
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(indent(index), 0);
    }

private:
    static int indent(const QModelIndex& index) {
        return index.data(kLevelRole).toInt() * kIndentPixels;
    }
};

QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QDir(path).absolutePath());
}

// The path's directories from the root down, the path itself last.
QStringList levelsOf(const QString& path) {
    QStringList levels{path};
    for (QString parent = QFileInfo(path).path(); parent != levels.first();
         parent = QFileInfo(parent).path()) {
        levels.prepend(parent);
    }
    return levels;
}

QString levelText(const QString& level) {
    const QString name = QFileInfo(level).fileName();
    return name.isEmpty() ? QDir::toNativeSeparators(level) : name;
}

QString childPath(const QString& directory, const QString& name) {
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

}  // namespace

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemActivated, this, &DirListBox::open);
}

QString DirListBox::Path() const {
    return m_path;
}

void DirListBox::setPath(const QString& path) {
    const QString directory = absoluteClean(path);
    // Read before anything changes, so that a failure leaves the list as it was.
    const QStringList subdirectories = readDirectory(directory).directories;

    clear();
    const QStringList levels = levelsOf(directory);
    for (int level = 0; level < levels.size(); ++level) {
        addRow(levelText(levels[level]), levels[level], level, true);
    }
    m_currentRow = static_cast<int>(levels.size()) - 1;
    setCurrentRow(m_currentRow);
    for (const QString& name : subdirectories) {
        addRow(name, childPath(directory, name), static_cast<int>(levels.size()), false);
    }

    const bool changed = directory != m_path;
    m_path = directory;
    if (changed) {
        emit pathChanged();
    }
}

QString DirListBox::rowPath(int row) const {
    const QListWidgetItem* const rowItem = item(row);
    return rowItem != nullptr ? rowItem->data(kPathRole).toString() : QString();
}

int DirListBox::rowLevel(int row) const {
    const QListWidgetItem* const rowItem = item(row);
    return rowItem != nullptr ? rowItem->data(kLevelRole).toInt() : -1;
}

void DirListBox::open(QListWidgetItem* item) {
    const QString path = item->data(kPathRole).toString();
    try {
        setPath(path);
    } catch (const DirectoryReadError& error) {
        // Back on the current directory, so Enter does not keep pointing at the failed one.
        setCurrentRow(m_currentRow);
        emit openFailed(error.path(), error.reason());
    }
}

void DirListBox::addRow(const QString& text, const QString& path, int level, bool open) {
    auto* const row = new QListWidgetItem(
        style()->standardIcon(open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon), text,
        this);
    row->setData(kPathRole, path);
    row->setData(kLevelRole, level);
    row->setToolTip(QDir::toNativeSeparators(path));
}

}  // namespace flashupdate
