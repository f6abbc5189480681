// What a write does to the file around its contents: a write through a symbolic link keeps
// the link and changes its target, a file keeps its owner, group and permissions, and what
// a killed writer left (a temporary file, a half-done append) is gone at the next open of
// the folder or workbook (a write-protected file: sql/text_write.test).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "engine/common/env.h"
#include "engine/store/files.h"
#include "support/engine_session.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;

namespace {

using FileSafetyTest = SessionTest;

struct stat StatOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

bool IsLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Another user's file, where this process may make one (root): the owner a write keeps.
constexpr uid_t kOtherUser = 4321;
constexpr gid_t kOtherGroup = 4322;

// Makes `link` a symbolic link to the file `target` (relative to the folder) with `mode`, and
// another user's where this process may (root); after `write`, the link and all of that
// must be as they were.
void WriteThroughALink(const TempDir& dir, const std::string& link, const std::string& target, mode_t mode,
                       const std::function<void()>& write) {
    const std::string path = dir.Path(target);
    ASSERT_EQ(::symlink(target.c_str(), dir.Path(link).c_str()), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    const bool root = RunningAsRoot();
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherGroup), 0);
    }
    write();
    EXPECT_TRUE(IsLink(dir.Path(link))) << "the link was replaced by a file";
    const struct stat after = StatOf(path);
    EXPECT_EQ(after.st_mode & 07777, mode);
    if (root) {
        EXPECT_EQ(after.st_uid, kOtherUser);
        EXPECT_EQ(after.st_gid, kOtherGroup);
    }
}

TEST_F(FileSafetyTest, TextWritesThroughALinkKeepTheLinkTheOwnerAndThePermissions) {
    std::filesystem::create_directory(m_dir.Path("real"));
    WriteFile(m_dir.Path("real/parts.csv"), "id,name\r\n1,a\r\n2,b\r\n");
    WriteThroughALink(m_dir, "t.csv", "real/parts.csv", 0640, [&] {
        OpenFolder();
        Exec(u"UPDATE [t.csv] SET name = 'z' WHERE id = 2");  // a rewrite
        Exec(u"INSERT INTO [t.csv] VALUES (3, 'c')");  // an append
    });
    EXPECT_EQ(ReadFile(m_dir.Path("real/parts.csv")), "id,name\r\n1,a\r\n2,z\r\n3,c\r\n");
    EXPECT_EQ(std::filesystem::directory_iterator(m_dir.Path("real"))->path().filename(), "parts.csv")
        << "something was left beside the target";
}

TEST_F(FileSafetyTest, WorkbookWritesThroughALinkKeepTheLinkTheOwnerAndThePermissions) {
    std::filesystem::create_directory(m_dir.Path("real"));
    OpenWorkbook("real/book.xlsx");
    Exec(u"CREATE TABLE Log (id INTEGER, note TEXT)");
    m_session.Release();
    WriteThroughALink(m_dir, "book.xlsx", "real/book.xlsx", 0604, [&] {
        OpenWorkbook("book.xlsx");
        Exec(u"INSERT INTO [Log$] VALUES (1, 'through the link')");
    });
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [Log$]"), u"1");
}

TEST_F(FileSafetyTest, TemporaryFilesOfAKilledWriterGoAtTheNextOpen) {
    WriteFile(m_dir.Path("t.csv"), "id\r\n1\r\n");
    WriteFile(m_dir.Path(".orv-new-0123456789ab"), "half of a new version");
    OpenFolder();
    EXPECT_FALSE(Exists(m_dir.Path(".orv-new-0123456789ab")));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [t.csv]"), u"1");

    // A temporary file that its writer still holds is left alone.
    std::string live;
    orv::engine::FileHandle held;
    ASSERT_TRUE(orv::engine::MakeTemporaryBeside(m_dir.Path("t.csv"), live, held).Ok());
    OpenFolder();
    EXPECT_TRUE(std::filesystem::exists(live));

    m_session.Release();
    OpenWorkbook("book.xlsx");
    Exec(u"CREATE TABLE Log (id INTEGER)");
    WriteFile(m_dir.Path(".orv-new-ba9876543210"), "half of a workbook");
    OpenWorkbook("book.xlsx");
    EXPECT_FALSE(Exists(m_dir.Path(".orv-new-ba9876543210")));
    EXPECT_TRUE(std::filesystem::exists(live));
}

TEST_F(FileSafetyTest, AHalfDoneAppendIsUndoneAtTheNextOpenOrRead) {
    const std::string before = "id,name\r\n1,a\r\n";
    WriteFile(m_dir.Path("t.csv"), before + "2,b\r\n3,");  // a writer killed in the middle
    struct stat info = StatOf(m_dir.Path("t.csv"));
    const std::string journal = "orv-append " + std::to_string(info.st_dev) + " " + std::to_string(info.st_ino) + " " +
                                std::to_string(before.size()) + "\n";
    WriteFile(m_dir.Path(".orv-journal-t.csv"), journal);
    OpenFolder();
    EXPECT_EQ(ReadFile(m_dir.Path("t.csv")), before);
    EXPECT_FALSE(Exists(m_dir.Path(".orv-journal-t.csv")));

    // A journal met by a connection already open: its next read undoes the append.
    WriteFile(m_dir.Path("t.csv"), before + "2,");
    WriteFile(m_dir.Path(".orv-journal-t.csv"), journal);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [t.csv]"), u"1");
    EXPECT_EQ(ReadFile(m_dir.Path("t.csv")), before);

    // A torn journal was written before its append began: nothing is cut.
    WriteFile(m_dir.Path(".orv-journal-t.csv"), "orv-app");
    OpenFolder();
    EXPECT_EQ(ReadFile(m_dir.Path("t.csv")), before);
    EXPECT_FALSE(Exists(m_dir.Path(".orv-journal-t.csv")));
}

}  // namespace
