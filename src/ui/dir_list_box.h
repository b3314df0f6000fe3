// The directory list as operators know it: the path from the root down to the current directory,
// one indented row a level, then the current directory's subdirectories one level further in.
// Opening a row (double click, or Enter on the highlighted row) makes it the current directory.
#pragma once

#include <QListWidget>
#include <QString>

namespace flashupdate {

class DirListBox final : public QListWidget {
    Q_OBJECT

public:
    explicit DirListBox(QWidget* parent = nullptr);

    // The current directory, absolute, in Qt's form; empty until the first setPath.
    QString Path() const;
    // Shows path, read afresh, and announces pathChanged when it differs from the one shown.
    // Throws DirectoryReadError when path cannot be listed, and then shows what it showed before.
    void setPath(const QString& path);

    // The directory a row stands for.
    QString rowPath(int row) const;
    // How far a row is indented, in levels: 0 for the root.
    int rowLevel(int row) const;

signals:
    void pathChanged();
    // The operator opened a directory that cannot be listed; the list stayed where it was.
    void openFailed(const QString& path, const QString& reason);

private:
    void open(QListWidgetItem* item);
    void addRow(const QString& text, const QString& path, int level, bool open);

    QString m_path;
    // The row of the current directory.
    int m_currentRow = -1;
};

}  // namespace flashupdate
