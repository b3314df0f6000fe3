#include "ui/file_list_box.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QScopedValueRollback>

#include "ui/directory_reader.h"

namespace flashupdate {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemSelectionChanged, this, &FileListBox::onSelectionChanged);
    connect(this, &QListWidget::itemClicked, this, &FileListBox::onItemClicked);
}

QString FileListBox::Path() const {
    return m_path;
}

void FileListBox::setPath(const QString& path) {
    m_path = path;
    refresh();
}

QString FileListBox::Pattern() const {
    return m_pattern;
}

void FileListBox::setPattern(const QString& pattern) {
    m_pattern = pattern;
    if (!m_path.isEmpty()) {
        refresh();
    }
}

QString FileListBox::FileName() const {
    const QList<QListWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

void FileListBox::keyPressEvent(QKeyEvent* event) {
    // Tabbing into the list puts the keyboard cursor on the first file without choosing it; the
    // first arrow press then chooses that file instead of skipping past it.
    const bool arrow = event->key() == Qt::Key_Down || event->key() == Qt::Key_Up;
    if (arrow && selectedItems().isEmpty() && count() > 0) {
        setCurrentRow(currentRow() >= 0 ? currentRow() : 0);
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void FileListBox::mousePressEvent(QMouseEvent* event) {
    m_selectedAtPress = FileName();
    QListWidget::mousePressEvent(event);
}

void FileListBox::refresh() {
    const QScopedValueRollback<bool> filling(m_refreshing, true);
    clear();
    for (const QString& name : readDirectory(m_path).files) {
        if (matchesPattern(name)) {
            addItem(name);
        }
    }
}

bool FileListBox::matchesPattern(const QString& name) const {
    for (const QString& part : m_pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString wildcard = part.trimmed();
        if (wildcard == QLatin1String("*.*") || wildcard == QLatin1String("*")) {
            return true;
        }
        if (QRegularExpression::fromWildcard(wildcard, Qt::CaseInsensitive)
                .match(name)
                .hasMatch()) {
            return true;
        }
    }
    return false;
}

void FileListBox::onSelectionChanged() {
    if (!m_refreshing && !selectedItems().isEmpty()) {
        emit fileClicked();
    }
}

void FileListBox::onItemClicked(QListWidgetItem* item) {
    if (item->isSelected() && item->text() == m_selectedAtPress) {
        emit fileClicked();
    }
}

}  // namespace flashupdate
