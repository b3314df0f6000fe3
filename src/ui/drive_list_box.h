// The drive list: the file-system roots, one of them current. As the operator knows it from the
// classic drive list, it announces a change of its drive whether the operator or the program made
// it, and only a real change: setting the drive it already shows announces nothing, which is what
// stops the drive-error recovery from going round for ever.
#pragma once

#include <QComboBox>
#include <QString>
#include <QStringList>

namespace flashupdate {

class DriveListBox final : public QComboBox {
    Q_OBJECT

public:
    explicit DriveListBox(QWidget* parent = nullptr);

    // Offers these roots instead of the system's (which are read again whenever the list opens).
    // The current drive stays when it is still offered; nothing is announced.
    void setRoots(const QStringList& roots);
    QStringList roots() const;

    // The current root, in Qt's form ("/", "/media/usb", "C:/"); empty when none is offered.
    QString Drive() const;
    // Makes the root that holds path current, and announces it when that changes the drive.
    void setDrive(const QString& path);
    // Shows the root that holds path without announcing it: the directory list has wandered onto
    // another mounted file system, and the list keeps saying which one.
    void showDriveOf(const QString& path);

    // The directory the drive opens at: the process's working directory when it lies on that
    // drive, else the drive's root. Nothing in the program changes the working directory.
    QString currentDirectory() const;

    void showPopup() override;

signals:
    void driveChanged();

private:
    void fill(const QStringList& roots);
    int indexOfRootHolding(const QString& path) const;

    // Whether the roots are the system's, and so worth reading again.
    bool m_systemRoots = true;
};

}  // namespace flashupdate
