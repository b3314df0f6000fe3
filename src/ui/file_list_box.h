// The file list: the ordinary files of one directory that match a name pattern, in name order.
// Choosing a file with the mouse, or moving the selection with the arrow keys, announces
// fileClicked; filling the list never does, so a new directory leaves no file chosen.
#pragma once

#include <QListWidget>
#include <QString>

class QKeyEvent;
class QMouseEvent;

namespace flashupdate {

class FileListBox final : public QListWidget {
    Q_OBJECT

public:
    explicit FileListBox(QWidget* parent = nullptr);

    // The directory listed, in Qt's form.
    QString Path() const;
    // Lists path with no file selected. When path cannot be listed the list is left empty and
    // DirectoryReadError is thrown; Path is path all the same, so the lists never disagree about
    // where they are.
    void setPath(const QString& path);

    // Wildcards * and ?, several patterns separated by ';'. "*.*" is every file, also one whose
    // name has no dot, as it has always been on the instrument's PCs.
    QString Pattern() const;
    // Lists the directory again for the new pattern; throws as setPath does.
    void setPattern(const QString& pattern);

    // The selected file's name, without its directory; empty when none is selected.
    QString FileName() const;

signals:
    void fileClicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void refresh();
    bool matchesPattern(const QString& name) const;
    void onSelectionChanged();
    void onItemClicked(QListWidgetItem* item);

    QString m_path;
    QString m_pattern = QStringLiteral("*.*");
    bool m_refreshing = false;
    // Selected when the last mouse press began: a click on the file already chosen announces it
    // again (the operator may have typed over txtFileName meanwhile), one that changes the
    // selection is announced by the selection change alone.
    QString m_selectedAtPress;
};

}  // namespace flashupdate
