#include "ui/drive_list_box.h"

#include <QDir>
#include <QSignalBlocker>

#include "ui/file_system_roots.h"

namespace flashupdate {

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent) {
    fill(fileSystemRoots());
    connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::driveChanged);
}

void DriveListBox::setRoots(const QStringList& roots) {
    m_systemRoots = false;
    fill(roots);
}

void DriveListBox::fill(const QStringList& roots) {
    const QString current = Drive();
    const QSignalBlocker quiet(this);
    clear();
    for (const QString& root : roots) {
        addItem(QDir::toNativeSeparators(root), root);
    }
    const int index = findData(current);
    setCurrentIndex(index >= 0 ? index : 0);
}

QStringList DriveListBox::roots() const {
    QStringList result;
    for (int i = 0; i < count(); ++i) {
        result.append(itemData(i).toString());
    }
    return result;
}

QString DriveListBox::Drive() const {
    return currentData().toString();
}

void DriveListBox::setDrive(const QString& path) {
    const int index = indexOfRootHolding(path);
    if (index >= 0) {
        setCurrentIndex(index);
    }
}

void DriveListBox::showDriveOf(const QString& path) {
    const int index = indexOfRootHolding(path);
    if (index >= 0) {
        const QSignalBlocker quiet(this);
        setCurrentIndex(index);
    }
}

QString DriveListBox::currentDirectory() const {
    const QString workingDirectory = QDir::currentPath();
    const QString drive = Drive();
    return rootOf(workingDirectory, roots()) == drive ? workingDirectory : drive;
}

void DriveListBox::showPopup() {
    // A medium mounted or ejected since the list was filled shows up, or goes, when the operator
    // looks for it.
    if (m_systemRoots) {
        fill(fileSystemRoots());
    }
    QComboBox::showPopup();
}

int DriveListBox::indexOfRootHolding(const QString& path) const {
    return findData(rootOf(path, roots()));
}

}  // namespace flashupdate
