// What a write does to the file around its contents: a write through a symbolic link keeps
// the link and changes its target, a file keeps its owner, group and permissions, and what
// a killed writer left (a temporary file, a half-done append) is gone at the next open of
// the folder or workbook (a write-protected file: sql/text_write.test).
//
// Hostile files: a small workbook that claims a huge sheet, strings shared by many cells, a
// giant cell, files too wide for a table (statements that try to reach files outside the
// connection's data: sql/confinement.test). Each must fail alone, with a sentence that
// names the file and the limit, and never take the process down.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/common/env.h"
#include "engine/store/files.h"
#include "engine/workbook/workbook.h"
#include "support/engine_session.h"
#include "support/holds.h"
#include "support/query_text.h"
#include "support/xlsx_parts.h"

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

using HostileInputTest = SessionTest;

// ---- Workbooks: memory follows the cells, not the rectangle or the copies -------------------

TEST_F(HostileInputTest, ATinyWorkbookWithFarApartCellsReadsInLittleMemory) {
    // Two cells, A1 and BXW1048576: a rectangle of 1,999 columns by 1,048,576 rows that used
    // to be laid out as a grid of two billion places.
    WriteArchive(m_dir.Path("far.xlsx"),
                 OneSheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>head</t></is></c></row>"
                          "<row r=\"1048576\"><c r=\"BXW1048576\"><v>7</v></c></row>"));
    OpenWorkbook("far.xlsx");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [S$]"), u"1048575");
    EXPECT_EQ(Scalar(u"SELECT F1999 FROM [S$] WHERE F1999 IS NOT NULL"), u"7");
    // Writes find their place in the same sparse table.
    ASSERT_EQ(RunSql(m_session, u"UPDATE [S$] SET head = 'x' WHERE F1999 = 7"), S_OK)
        << Utf16ToUtf8(LastErrorDescription());
}

TEST_F(HostileInputTest, ASharedStringIsKeptOnceHoweverManyCellsUseIt) {
    const std::string big(4 << 20, 'x');
    std::string rows = "<row r=\"1\"><c t=\"inlineStr\"><is><t>h</t></is></c></row>";
    for (int r = 2; r <= 4097; ++r) rows += "<row r=\"" + std::to_string(r) + "\"><c t=\"s\"><v>0</v></c></row>";
    WriteArchive(m_dir.Path("shared.xlsx"),
                 OneSheet(rows, "<sst xmlns=\"" + std::string(kMain) + "\"><si><t>" + big + "</t></si></sst>"));
    orv::engine::workbook::Workbook book;
    std::string error;
    ASSERT_TRUE(orv::engine::workbook::LoadXlsx(m_dir.Path("shared.xlsx"), book, error)) << error;
    const auto& cells = book.sheets[0].cells;
    ASSERT_EQ(cells.size(), 4097u);
    for (std::size_t i = 1; i < cells.size(); ++i) {
        ASSERT_EQ(&cells[i].cell.Text(), &book.sharedStrings[0]);  // one string, not 16 GiB of copies
        ASSERT_TRUE(cells[i].cell.text.empty());
    }
    OpenWorkbook("shared.xlsx");
    EXPECT_EQ(Scalar(u"SELECT count(*), max(length(h)) FROM [S$] WHERE rowid % 1024 = 0"), u"4");
    EXPECT_EQ(QueryText(m_session, u"SELECT max(length(h)) FROM [S$] WHERE rowid = 4096").rows[0][0], u"4194304");
}

TEST_F(HostileInputTest, AGiantCellIsRefusedNamingTheCellAndTheLimit) {
    const std::string giant(orv::engine::workbook::kMaxCellTextBytes + 1, 'y');
    WriteArchive(m_dir.Path("giant.xlsx"),
                 OneSheet("<row r=\"1\"><c r=\"B1\" t=\"inlineStr\"><is><t>" + giant + "</t></is></c></row>"));
    orv::engine::workbook::Workbook book;
    std::string error;
    EXPECT_FALSE(orv::engine::workbook::LoadXlsx(m_dir.Path("giant.xlsx"), book, error));
    EXPECT_TRUE(Holds(error, {"cell B1 of the sheet 'S'", "16 MiB"}));
}

TEST_F(HostileInputTest, OneSheetTooWideForATableFailsAloneNamingItsWidth) {
    WriteArchive(m_dir.Path("wide.xlsx"),
                 Sheets({{"Good",
                          "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>n</t></is></c></row>"
                          "<row r=\"2\"><c r=\"A2\"><v>5</v></c></row>"},
                         {"Wide", "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"CVW1\"><v>2</v></c></row>"}}));
    OpenWorkbook("wide.xlsx");
    EXPECT_EQ(Scalar(u"SELECT n FROM [Good$]"), u"5");
    const std::string why = Refused(u"SELECT * FROM [Wide$]");
    EXPECT_TRUE(Holds(why, {"'Wide'", "2623 columns", "more than the 2000"}));
    // A narrower range of the same sheet still reads.
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [Wide$A1:C5]"), u"0");
}

// ---- Text folders: one bad file fails alone -------------------------------------------------

TEST_F(HostileInputTest, ATextFileTooWideForATableFailsAloneNamingFileAndLimit) {
    std::string header, record;
    for (int i = 1; i <= 2001; ++i) {
        header += (i > 1 ? "," : "") + std::string("c") + std::to_string(i);
        record += (i > 1 ? "," : "") + std::to_string(i);
    }
    WriteFile(m_dir.Path("wide.csv"), header + "\n" + record + "\n");
    WriteFile(m_dir.Path("good.csv"), "id,name\n1,bolt\n");
    OpenFolder(u"text;HDR=YES");
    EXPECT_EQ(Scalar(u"SELECT name FROM [good.csv]"), u"bolt");
    const std::string why = Refused(u"SELECT c1 FROM [wide.csv]");
    EXPECT_TRUE(Holds(why, {"wide.csv", "2001 columns, more than the 2000"}));
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [good.csv]"), u"1");
}

}  // namespace
