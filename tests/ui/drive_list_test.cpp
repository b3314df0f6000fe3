// The drive list: which roots it offers, which root holds a path, and what choosing a drive does
// to the directory list, including the "Drive Error!" recovery when a drive cannot be read.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include "message_box_answerer.h"
#include "ui/dir_list_box.h"
#include "ui/drive_list_box.h"
#include "ui/file_list_box.h"
#include "ui/file_system_roots.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

TEST(MountTable, keepsStorageDropsKernelFileSystemsAndSystemAreas) {
    const QByteArray table =
        "proc /proc proc rw,relatime 0 0\n"
        "sysfs /sys sysfs rw,relatime 0 0\n"
        "devtmpfs /dev devtmpfs rw 0 0\n"
        "tmpfs /dev/shm tmpfs rw 0 0\n"
        "devpts /dev/pts devpts rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "/dev/vda / ext4 rw,relatime 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "tmpfs /run/user/1000 tmpfs rw 0 0\n"
        "tmpfs /sys/fs/cgroup tmpfs rw 0 0\n"
        "cgroup /sys/fs/cgroup/cpu cgroup rw 0 0\n"
        "cgroup2 /sys/fs/cgroup/unified cgroup2 rw 0 0\n"
        "tmpfs /tmp tmpfs rw 0 0\n"
        "/dev/sdb1 /media/USB\\040STICK vfat rw 0 0\n"
        "/dev/loop3 /snap/core/123 squashfs ro 0 0\n"
        "systemd-1 /proc/sys/fs/binfmt_misc autofs rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "server:/export /mnt/data nfs4 rw 0 0\n";
    EXPECT_EQ(mountPointsFromTable(table),
              QStringList({"/", "/home", "/media/USB STICK", "/mnt/data", "/tmp"}));
}

TEST(MountTable, rootIsOfferedEvenWhenTheTableLacksIt) {
    EXPECT_EQ(mountPointsFromTable("proc /proc proc rw 0 0\n"), QStringList({"/"}));
    EXPECT_EQ(mountPointsFromTable(""), QStringList({"/"}));
}

TEST(MountTable, systemRoots_includeRootAndOnlyDirectories) {
    const QStringList roots = fileSystemRoots();
    ASSERT_FALSE(roots.isEmpty());
    EXPECT_EQ(roots.first(), QStringLiteral("/"));
    for (const QString& root : roots) {
        EXPECT_TRUE(QFileInfo(root).isDir()) << root.toStdString();
        EXPECT_FALSE(root.startsWith("/proc") || root.startsWith("/sys")) << root.toStdString();
    }
}

TEST(RootOf, longestRootThatIsThePathOrAnAncestor) {
    const QStringList roots = {"/", "/work", "/work/shared", "/media/usb"};
    EXPECT_EQ(rootOf("/work/main/src", roots), QStringLiteral("/work"));
    EXPECT_EQ(rootOf("/work", roots), QStringLiteral("/work"));
    EXPECT_EQ(rootOf("/work/shared/notes", roots), QStringLiteral("/work/shared"));
    EXPECT_EQ(rootOf("/workshop", roots), QStringLiteral("/")) << "a name prefix is no ancestor";
    EXPECT_EQ(rootOf("/", roots), QStringLiteral("/"));
    EXPECT_EQ(rootOf("/tmp", {"/media/usb"}), QString());
}

class DriveChange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.isValid());
        m_base = QDir(m_directory.path()).canonicalPath();
        QDir base(m_base);
        for (const char* name : {"work", "usb", "usb/images", "work/sub"}) {
            ASSERT_TRUE(base.mkpath(name));
        }
        QFile file(m_base + "/usb/flash.img");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    // Started in work with the roots given, and a file chosen there.
    void start(const QStringList& roots) {
        m_rig = std::make_unique<WindowRig>("chosen.img,2", m_base + "/work");
        drive()->setRoots(roots);
        drive()->showDriveOf(directories()->Path());
        status()->setText("before");
    }

    // Chooses the drive, and lets the window's loop run until its boxes are answered.
    void pick(const QString& root) {
        const int index = drive()->findData(root);
        ASSERT_GE(index, 0) << root.toStdString();
        drive()->setCurrentIndex(index);
        ASSERT_TRUE(m_rig->runUntil([&] { return m_rig->boxUp() == nullptr; }));
    }

    DriveListBox* drive() { return m_rig->control<DriveListBox>("drvDrive"); }
    DirListBox* directories() { return m_rig->control<DirListBox>("dirDirectory"); }
    FileListBox* files() { return m_rig->control<FileListBox>("filFiles"); }
    QLabel* status() { return m_rig->control<QLabel>("lblStatus"); }

    void expectListsOn(const QString& path) {
        EXPECT_EQ(directories()->Path(), path);
        EXPECT_EQ(files()->Path(), path);
        EXPECT_EQ(m_rig->control<QLabel>("lblDirNam")->text(), QDir::toNativeSeparators(path));
    }

    void expectBoxAndStatusUntouched() {
        EXPECT_EQ(m_rig->control<QLineEdit>("txtFileName")->text(), QStringLiteral("chosen.img"));
        EXPECT_EQ(status()->text(), QStringLiteral("before"));
    }

    static void expectDriveErrorBox(const SeenMessageBox& box) {
        EXPECT_EQ(box.text, QStringLiteral("Drive Error!"));
        EXPECT_EQ(box.title, QStringLiteral("error"));
        EXPECT_EQ(box.icon, QMessageBox::Warning);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(box.modal);
    }

    QTemporaryDir m_directory;
    QString m_base;
    std::unique_ptr<WindowRig> m_rig;
};

TEST_F(DriveChange, otherDrive_opensAtItsRootAndTheWorkingDirectorysDriveAtIt) {
    start({"/", m_base + "/usb"});
    MessageBoxAnswerer answerer;
    pick(m_base + "/usb");
    EXPECT_TRUE(answerer.seen().empty());
    expectListsOn(m_base + "/usb");
    EXPECT_EQ(files()->count(), 1);
    expectBoxAndStatusUntouched();

    pick(QStringLiteral("/"));
    expectListsOn(m_base + "/work");
}

TEST_F(DriveChange, unreadableDrive_oneBoxThenBackOnTheDirectorysDrive) {
    start({"/", m_base + "/gone"});
    MessageBoxAnswerer answerer;
    pick(m_base + "/gone");

    ASSERT_EQ(answerer.seen().size(), 1u);
    expectDriveErrorBox(answerer.seen()[0]);
    EXPECT_EQ(drive()->Drive(), QStringLiteral("/"));
    expectListsOn(m_base + "/work");
    expectBoxAndStatusUntouched();
}

TEST_F(DriveChange, restoredDriveUnreadableToo_twoBoxesAndListsAsBefore) {
    start({m_base + "/usb", m_base + "/gone"});
    directories()->setPath(m_base + "/usb/images");
    ASSERT_EQ(drive()->Drive(), m_base + "/usb") << "the drive list follows the directory list";
    // The medium is pulled with the lists still showing it.
    ASSERT_TRUE(QDir(m_base + "/usb").removeRecursively());
    MessageBoxAnswerer answerer;

    pick(m_base + "/gone");

    ASSERT_EQ(answerer.seen().size(), 2u);
    expectDriveErrorBox(answerer.seen()[0]);
    expectDriveErrorBox(answerer.seen()[1]);
    EXPECT_EQ(drive()->Drive(), m_base + "/usb");
    expectListsOn(m_base + "/usb/images");
    expectBoxAndStatusUntouched();
}

TEST_F(DriveChange, sameDriveAgain_announcesNothing) {
    start({"/", m_base + "/usb"});
    int changes = 0;
    QObject::connect(drive(), &DriveListBox::driveChanged, [&] { ++changes; });
    drive()->setDrive(m_base + "/work/sub");
    EXPECT_EQ(changes, 0);
    drive()->setDrive(m_base + "/usb/images");
    EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace flashupdate::testing
