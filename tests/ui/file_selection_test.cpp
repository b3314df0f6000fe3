// Choosing the program image with the drive, directory and file lists: what they list, how a
// chosen file reaches txtFileName and the status line, how opening a directory or choosing a drive
// moves the chain, and that a directory or drive which cannot be read leaves everything where it
// was (a drive with its "Drive Error!" box).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include "list_input.h"
#include "message_box_answerer.h"
#include "ui/dir_list_box.h"
#include "ui/directory_reader.h"
#include "ui/drive_list_box.h"
#include "ui/file_list_box.h"
#include "ui/file_system_roots.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

const QString kPressStart = QStringLiteral("Press Start to begin download");

void makeFile(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write("image");
}

// A window on a directory of the test's own, through its lists.
class Lists : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.isValid());
        // The directory's own path, as the process sees it.
        m_root = QDir(m_directory.path()).canonicalPath();
    }

    DriveListBox* drive() { return m_rig->control<DriveListBox>("drvDrive"); }
    DirListBox* directories() { return m_rig->control<DirListBox>("dirDirectory"); }
    FileListBox* files() { return m_rig->control<FileListBox>("filFiles"); }
    QString fileNameBox() { return m_rig->control<QLineEdit>("txtFileName")->text(); }
    QString status() { return m_rig->control<QLabel>("lblStatus")->text(); }
    QString pathBox() { return m_rig->control<QLabel>("lblDirNam")->text(); }

    void expectListsOn(const QString& path) {
        EXPECT_EQ(directories()->Path(), path);
        EXPECT_EQ(files()->Path(), path);
        EXPECT_EQ(pathBox(), QDir::toNativeSeparators(path));
    }

    QTemporaryDir m_directory;
    QString m_root;
    std::unique_ptr<WindowRig> m_rig;
};

class FileSelection : public Lists {
protected:
    void SetUp() override {
        Lists::SetUp();
        for (const char* name : {"b.img", "A.IMG", "noext", "Zeta.bin", ".hidden"}) {
            makeFile(m_root + "/" + name);
        }
        QDir root(m_root);
        ASSERT_TRUE(root.mkdir("sub"));
        ASSERT_TRUE(root.mkdir("Alpha"));
        ASSERT_TRUE(root.mkdir(".hiddendir"));
        makeFile(m_root + "/sub/inner.bin");
        ASSERT_TRUE(QFile::link(m_root + "/nowhere", m_root + "/dangling"));
    }

    void start(const QString& workingDirectory = {}) {
        m_rig = std::make_unique<WindowRig>(QString(),
                                            workingDirectory.isEmpty() ? m_root : workingDirectory);
        m_rig->window().show();
        QApplication::processEvents();
    }

    int rowOf(const QString& path) {
        for (int row = 0; row < directories()->count(); ++row) {
            if (directories()->rowPath(row) == path) {
                return row;
            }
        }
        ADD_FAILURE() << "no row for " << path.toStdString();
        return -1;
    }
};

TEST_F(FileSelection, startUp_listsLevelsSubdirectoriesAndOrdinaryVisibleFilesNoneChosen) {
    start();
    expectListsOn(m_root);
    EXPECT_EQ(drive()->Drive(), rootOf(m_root, drive()->roots()))
        << "the working directory's drive";
    EXPECT_EQ(files()->Pattern(), QStringLiteral("*.*"));
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
    EXPECT_TRUE(files()->selectedItems().isEmpty());
    EXPECT_EQ(files()->FileName(), QString());
    EXPECT_EQ(m_rig->window().filesFileName(), "");
    EXPECT_EQ(m_rig->window().filesPath(), QDir::toNativeSeparators(m_root).toStdString());

    const QStringList levels = m_root.split('/', Qt::SkipEmptyParts);
    const int depth = static_cast<int>(levels.size());
    ASSERT_EQ(directories()->count(), depth + 1 + 2);
    EXPECT_EQ(directories()->rowPath(0), QStringLiteral("/"));
    EXPECT_EQ(directories()->item(0)->text(), QStringLiteral("/"));
    for (int level = 1; level <= depth; ++level) {
        EXPECT_EQ(directories()->item(level)->text(), levels[level - 1]);
        EXPECT_EQ(directories()->rowLevel(level), level);
    }
    EXPECT_EQ(directories()->currentRow(), depth) << "the current directory is highlighted";
    EXPECT_EQ(directories()->item(depth + 1)->text(), QStringLiteral("Alpha"));
    EXPECT_EQ(directories()->item(depth + 2)->text(), QStringLiteral("sub"));
    EXPECT_EQ(directories()->rowLevel(depth + 2), depth + 1);
    EXPECT_EQ(directories()->rowPath(depth + 2), m_root + "/sub");
}

// The list's choice and the box's text are two things: a click puts the one into the other, and
// a name typed over it, even one differing only in case, is the box's alone.
TEST_F(FileSelection, mouseClick_putsBareNameInBoxAndAsksForStartReplacingWhatWasTyped) {
    start();
    clickRow(files(), 1);
    EXPECT_EQ(files()->FileName(), QStringLiteral("b.img"));
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
    EXPECT_EQ(status(), kPressStart);
    EXPECT_EQ(m_rig->window().filesFileName(), "b.img");
    EXPECT_EQ(m_rig->window().fileNameText(), "b.img");

    m_rig->control<QLineEdit>("txtFileName")->setText("B.IMG");
    EXPECT_EQ(m_rig->window().filesFileName(), "b.img");
    EXPECT_EQ(m_rig->window().fileNameText(), "B.IMG");
    clickRow(files(), 1);
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
}

TEST_F(FileSelection, arrowKeys_chooseFilesAsClicksDo) {
    start();
    files()->setFocus();
    pressKey(files(), Qt::Key_Down);
    EXPECT_EQ(fileNameBox(), QStringLiteral("A.IMG")) << "the first press chooses the first file";
    EXPECT_EQ(status(), kPressStart);
    pressKey(files(), Qt::Key_Down);
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
    pressKey(files(), Qt::Key_Down);
    pressKey(files(), Qt::Key_Up);
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
    EXPECT_EQ(files()->FileName(), QStringLiteral("b.img"));
}

TEST_F(FileSelection, enterOnSubdirectory_listsItsFilesClearsChoiceKeepsBoxAndStatus) {
    start();
    clickRow(files(), 0);
    directories()->setCurrentRow(rowOf(m_root + "/sub"));
    pressKey(directories(), Qt::Key_Return);

    expectListsOn(m_root + "/sub");
    EXPECT_EQ(rowTexts(files()), QStringList({"inner.bin"}));
    EXPECT_TRUE(files()->selectedItems().isEmpty());
    EXPECT_EQ(files()->FileName(), QString());
    EXPECT_EQ(fileNameBox(), QStringLiteral("A.IMG"));
    EXPECT_EQ(status(), kPressStart);
    EXPECT_EQ(directories()->item(directories()->currentRow())->text(), QStringLiteral("sub"));
}

TEST_F(FileSelection, doubleClickOnParentLevel_goesUpAndOnRoot_listsTheRoot) {
    start(m_root + "/sub");
    expectListsOn(m_root + "/sub");
    doubleClickRow(directories(), rowOf(m_root));
    expectListsOn(m_root);
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
    doubleClickRow(directories(), 0);
    expectListsOn(QStringLiteral("/"));
    EXPECT_EQ(directories()->count(), 1 + static_cast<int>(readDirectory("/").directories.size()));
}

// Whatever keeps a directory from being read (gone, no permission) takes this one path.
TEST_F(FileSelection, directoryGoneSinceListed_saysSoAndLeavesListsWhereTheyWere) {
    start();
    clickRow(files(), 1);
    const QStringList rowsBefore = rowTexts(directories());
    ASSERT_TRUE(QDir(m_root).rmdir("Alpha"));

    doubleClickRow(directories(), rowOf(m_root + "/Alpha"));

    EXPECT_EQ(status(), "Cannot read directory " + QDir::toNativeSeparators(m_root + "/Alpha"));
    expectListsOn(m_root);
    EXPECT_EQ(rowTexts(directories()), rowsBefore);
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
    EXPECT_EQ(directories()->currentRow(), rowOf(m_root));

    // Still usable: the next directory opens.
    doubleClickRow(directories(), rowOf(m_root + "/sub"));
    expectListsOn(m_root + "/sub");
}

TEST_F(FileSelection, pattern_filtersWithoutRegardToCase) {
    start();
    files()->setPattern("*.img");
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img"}));
    files()->setPattern("*.bin;noext");
    EXPECT_EQ(rowTexts(files()), QStringList({"noext", "Zeta.bin"}));
}

TEST_F(FileSelection, workingDirectoryGone_listsStayConsistentAndUsable) {
    const QString doomed = m_root + "/Alpha";
    {
        WorkingDirectory inside(doomed);
        ASSERT_TRUE(QDir(m_root).rmdir("Alpha"));
        m_rig = std::make_unique<WindowRig>("x.img,2");
    }
    EXPECT_EQ(directories()->Path(), files()->Path());
    EXPECT_EQ(pathBox(), QDir::toNativeSeparators(directories()->Path()));
    EXPECT_TRUE(status().startsWith("Cannot read directory")) << status().toStdString();
    EXPECT_EQ(fileNameBox(), QStringLiteral("x.img"));
}

TEST(MountTable, keepsStorageDropsKernelFileSystemsAndSystemAreasAndAlwaysOffersTheRoot) {
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
    EXPECT_EQ(mountPointsFromTable("proc /proc proc rw 0 0\n"), QStringList({"/"}));
    EXPECT_EQ(mountPointsFromTable(""), QStringList({"/"}));

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

class DriveChange : public Lists {
protected:
    void SetUp() override {
        Lists::SetUp();
        for (const char* name : {"work/sub", "usb/images"}) {
            ASSERT_TRUE(QDir(m_root).mkpath(name));
        }
        makeFile(m_root + "/usb/flash.img");
    }

    // Started in work with the roots given, and a file chosen there.
    void start(const QStringList& roots) {
        m_rig = std::make_unique<WindowRig>("chosen.img,2", m_root + "/work");
        drive()->setRoots(roots);
        drive()->showDriveOf(directories()->Path());
        m_rig->control<QLabel>("lblStatus")->setText("before");
    }

    // Chooses the drive, and lets the window's loop run until its boxes are answered.
    void pick(const QString& root) {
        const int index = drive()->findData(root);
        ASSERT_GE(index, 0) << root.toStdString();
        drive()->setCurrentIndex(index);
        ASSERT_TRUE(m_rig->runUntil([&] { return m_rig->boxUp() == nullptr; }));
    }

    void expectBoxAndStatusUntouched() {
        EXPECT_EQ(fileNameBox(), QStringLiteral("chosen.img"));
        EXPECT_EQ(status(), QStringLiteral("before"));
    }

    // As many "Drive Error!" boxes as given, each as the design has it.
    void expectDriveErrorBoxes(std::size_t count) {
        ASSERT_EQ(m_answerer.seen().size(), count);
        for (const SeenMessageBox& box : m_answerer.seen()) {
            EXPECT_EQ(box.text, QStringLiteral("Drive Error!"));
            EXPECT_EQ(box.title, QStringLiteral("error"));
            EXPECT_EQ(box.icon, QMessageBox::Warning);
            EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            EXPECT_TRUE(box.modal);
        }
    }

    MessageBoxAnswerer m_answerer;
};

TEST_F(DriveChange, otherDrive_opensAtItsRootAndTheWorkingDirectorysDriveAtIt) {
    start({"/", m_root + "/usb"});
    pick(m_root + "/usb");
    expectDriveErrorBoxes(0);
    expectListsOn(m_root + "/usb");
    EXPECT_EQ(files()->count(), 1);
    expectBoxAndStatusUntouched();

    pick(QStringLiteral("/"));
    expectListsOn(m_root + "/work");
}

TEST_F(DriveChange, unreadableDrive_oneBoxThenBackOnTheDirectorysDrive) {
    start({"/", m_root + "/gone"});
    pick(m_root + "/gone");

    expectDriveErrorBoxes(1);
    EXPECT_EQ(drive()->Drive(), QStringLiteral("/"));
    expectListsOn(m_root + "/work");
    expectBoxAndStatusUntouched();
}

TEST_F(DriveChange, restoredDriveUnreadableToo_twoBoxesAndListsAsBefore) {
    start({m_root + "/usb", m_root + "/gone"});
    directories()->setPath(m_root + "/usb/images");
    ASSERT_EQ(drive()->Drive(), m_root + "/usb") << "the drive list follows the directory list";
    // The medium is pulled with the lists still showing it.
    ASSERT_TRUE(QDir(m_root + "/usb").removeRecursively());

    pick(m_root + "/gone");

    expectDriveErrorBoxes(2);
    EXPECT_EQ(drive()->Drive(), m_root + "/usb");
    expectListsOn(m_root + "/usb/images");
    expectBoxAndStatusUntouched();
}

TEST_F(DriveChange, sameDriveAgain_announcesNothing) {
    start({"/", m_root + "/usb"});
    int changes = 0;
    QObject::connect(drive(), &DriveListBox::driveChanged, [&] { ++changes; });
    drive()->setDrive(m_root + "/work/sub");
    EXPECT_EQ(changes, 0);
    drive()->setDrive(m_root + "/usb/images");
    EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace flashupdate::testing
