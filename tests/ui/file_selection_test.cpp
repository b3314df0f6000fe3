// Choosing the program image with the directory and file lists: what they list, how a chosen file
// reaches txtFileName and the status line, how opening a directory moves the chain, and that a
// directory which cannot be read leaves everything where it was.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include "list_input.h"
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

class FileSelection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.isValid());
        // The working directory's own path, as the process sees it.
        m_root = QDir(m_directory.path()).canonicalPath();
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

    WindowRig& start(const QString& workingDirectory = {}) {
        m_rig = std::make_unique<WindowRig>(QString(),
                                            workingDirectory.isEmpty() ? m_root : workingDirectory);
        m_rig->window().show();
        QApplication::processEvents();
        return *m_rig;
    }

    DirListBox* directories() { return m_rig->control<DirListBox>("dirDirectory"); }
    FileListBox* files() { return m_rig->control<FileListBox>("filFiles"); }
    QString fileNameBox() { return m_rig->control<QLineEdit>("txtFileName")->text(); }
    QString status() { return m_rig->control<QLabel>("lblStatus")->text(); }
    QString pathBox() { return m_rig->control<QLabel>("lblDirNam")->text(); }

    int rowOf(const QString& path) {
        for (int row = 0; row < directories()->count(); ++row) {
            if (directories()->rowPath(row) == path) {
                return row;
            }
        }
        ADD_FAILURE() << "no row for " << path.toStdString();
        return -1;
    }

    void expectListsOn(const QString& path) {
        EXPECT_EQ(directories()->Path(), path);
        EXPECT_EQ(files()->Path(), path);
        EXPECT_EQ(pathBox(), QDir::toNativeSeparators(path));
    }

    QTemporaryDir m_directory;
    QString m_root;
    std::unique_ptr<WindowRig> m_rig;
};

TEST_F(FileSelection, startUp_listsOrdinaryVisibleFilesInNameOrderNoneChosen) {
    start();
    expectListsOn(m_root);
    auto* const drive = m_rig->control<DriveListBox>("drvDrive");
    EXPECT_EQ(drive->Drive(), rootOf(m_root, drive->roots())) << "the working directory's drive";
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
    EXPECT_TRUE(files()->selectedItems().isEmpty());
    EXPECT_EQ(files()->FileName(), QString());
    EXPECT_EQ(m_rig->window().filesFileName(), "");
    EXPECT_EQ(m_rig->window().filesPath(), QDir::toNativeSeparators(m_root).toStdString());
}

TEST_F(FileSelection, startUp_directoryListShowsLevelsThenSubdirectories) {
    start();
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

TEST_F(FileSelection, mouseClick_putsBareNameInBoxAndAsksForStart) {
    start();
    clickRow(files(), 1);
    EXPECT_EQ(files()->FileName(), QStringLiteral("b.img"));
    EXPECT_EQ(fileNameBox(), QStringLiteral("b.img"));
    EXPECT_EQ(status(), kPressStart);
    EXPECT_EQ(m_rig->window().filesFileName(), "b.img");
    EXPECT_EQ(m_rig->window().fileNameText(), "b.img");
}

TEST_F(FileSelection, clickOnChosenFileAgain_replacesWhatWasTypedOverIt) {
    start();
    clickRow(files(), 1);
    m_rig->control<QLineEdit>("txtFileName")->setText("typed.img");
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

TEST_F(FileSelection, doubleClickOnParentLevel_goesUp) {
    start(m_root + "/sub");
    expectListsOn(m_root + "/sub");
    doubleClickRow(directories(), rowOf(m_root));
    expectListsOn(m_root);
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
}

TEST_F(FileSelection, doubleClickOnRoot_listsTheRoot) {
    start();
    doubleClickRow(directories(), 0);
    expectListsOn(QStringLiteral("/"));
    EXPECT_EQ(directories()->count(), 1 + static_cast<int>(readDirectory("/").directories.size()));
}

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

TEST_F(FileSelection, directoryWithoutReadPermission_saysSoAndLeavesListsWhereTheyWere) {
    const QString locked = m_root + "/sub";
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::Permissions()));
    bool readable = true;
    try {
        readDirectory(locked);
    } catch (const DirectoryReadError&) {
        readable = false;
    }
    if (readable) {
        QFile::setPermissions(
            locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        GTEST_SKIP() << "permissions do not stop this user (root) from reading";
    }
    start();
    doubleClickRow(directories(), rowOf(locked));
    EXPECT_EQ(status(), "Cannot read directory " + QDir::toNativeSeparators(locked));
    expectListsOn(m_root);
    QFile::setPermissions(locked,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(FileSelection, pattern_filtersWithoutRegardToCase) {
    start();
    files()->setPattern("*.img");
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img"}));
    files()->setPattern("*.bin;noext");
    EXPECT_EQ(rowTexts(files()), QStringList({"noext", "Zeta.bin"}));
    files()->setPattern("*.*");
    EXPECT_EQ(rowTexts(files()), QStringList({"A.IMG", "b.img", "noext", "Zeta.bin"}));
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

}  // namespace
}  // namespace flashupdate::testing
