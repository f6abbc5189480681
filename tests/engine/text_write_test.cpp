// Writing text tables: INSERT, UPDATE and DELETE reach the file when the transaction
// commits, in the file's own layout and character set, and are read back by another CSV
// reader (Python's csv module); failures and rollbacks leave the file as it was;
// CREATE TABLE and DROP TABLE make and delete files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/engine_session.h"
#include "support/python.h"
#include "support/query_text.h"
#include "support/holds.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;

namespace {

using Row = std::vector<std::u16string>;

class TextWriteTest : public SessionTest {
protected:
    std::string Read(const std::string& name) { return ReadFile(m_dir.Path(name)); }
    std::vector<Row> Rows(const char16_t* sql) { return QueryText(m_session, sql).rows; }

    // The records of a file as Python's csv module reads them: fields joined by '|', line
    // breaks inside fields shown as \r and \n.
    std::string PythonReads(const std::string& name, const char* encoding = "utf-8-sig", char delimiter = ',') {
        std::string command =
            "/usr/bin/python3 -c \"import csv,sys\n"
            "f=open(sys.argv[1],newline='',encoding=sys.argv[2])\n"
            "for r in csv.reader(f,delimiter=sys.argv[3]):\n"
            " print('|'.join(x.replace(chr(13),chr(92)+'r').replace(chr(10),chr(92)+'n') for x in r))\" '" +
            m_dir.Path(name) + "' " + encoding + " '" + std::string(1, delimiter) + "'";
        std::string out;
        EXPECT_EQ(RunCommand(command, out), 0) << command;
        return out;
    }

    CComPtr<ITransactionLocal> Transaction() {
        CComPtr<ITransactionLocal> transaction;
        EXPECT_EQ(m_session.QueryInterface(&transaction), S_OK);
        EXPECT_EQ(transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
        return transaction;
    }
};

TEST_F(TextWriteTest, InsertUpdateAndDeleteAreReadBackByAnotherCsvReader) {
    Write("parts.csv",
          "id,name,price,made,ok\r\n"
          "1,bolt,0.5,2024-01-15,True\r\n"
          "2,\"nut, hex\",0.25,2024-02-01,False\r\n"
          "3,gear,12,2024-03-01,True\r\n");
    OpenFolder();
    Exec(u"INSERT INTO [parts.csv] VALUES (4, 'say \"hi\"', 0.1, '2024-04-02 13:45:00', False)", 1);
    Exec(u"INSERT INTO [parts.csv] (id, name) VALUES (5, 'two' & char(13, 10) & 'lines')", 1);
    Exec(u"INSERT INTO [parts.csv] (id, price) VALUES (6, 1e300)", 1);
    EXPECT_EQ(Read("parts.csv").substr(0, 22), "id,name,price,made,ok\r");  // appended, the rest as it was
    EXPECT_EQ(PythonReads("parts.csv"),
              "id|name|price|made|ok\n"
              "1|bolt|0.5|2024-01-15|True\n"
              "2|nut, hex|0.25|2024-02-01|False\n"
              "3|gear|12|2024-03-01|True\n"
              "4|say \"hi\"|0.1|2024-04-02 13:45:00|False\n"
              "5|two\\r\\nlines|||\n"
              "6||1e+300||\n");

    Exec(u"UPDATE [parts.csv] SET price = price * 2, ok = True WHERE id = 2", 1);
    Exec(u"DELETE FROM [parts.csv] WHERE id IN (1, 5)", 2);
    EXPECT_EQ(PythonReads("parts.csv"),
              "id|name|price|made|ok\n"
              "2|nut, hex|0.5|2024-02-01|True\n"
              "3|gear|12|2024-03-01|True\n"
              "4|say \"hi\"|0.1|2024-04-02 13:45:00|False\n"
              "6||1e+300||\n");

    // A new session reads the values as they were written, with the same types.
    OpenFolder();
    EXPECT_EQ(Rows(u"SELECT id, name, price, made, ok FROM [parts.csv] ORDER BY id"),
              (std::vector<Row>{{u"2", u"nut, hex", u"0.5", u"2024-02-01", u"True"},
                                {u"3", u"gear", u"12", u"2024-03-01", u"True"},
                                {u"4", u"say \"hi\"", u"0.1", u"2024-04-02 13:45:00", u"False"},
                                {u"6", u"<null>", u"1E+300", u"<null>", u"<null>"}}));
}

TEST_F(TextWriteTest, UnchangedFieldsOfAnUpdatedRecordKeepTheirText) {
    // US dates, "yes" flags and a padded number read as values, yet an update of another
    // column writes them back as they were.
    Write("us.csv", "id,made,ok,qty\r\n1,3/1/2024,yes,007\r\n2,12/31/2023 1:30 PM,no,8\r\n");
    OpenFolder();
    Exec(u"UPDATE [us.csv] SET qty = 9 WHERE id = 2", 1);
    EXPECT_EQ(Read("us.csv"), "id,made,ok,qty\r\n1,3/1/2024,yes,007\r\n2,12/31/2023 1:30 PM,no,9\r\n");
}

TEST_F(TextWriteTest, LeadingZerosAndQuotedEmptyFieldsSurviveARewrite) {
    // "" is the empty text, a bare empty field NULL; codes with leading zeros and long digit
    // strings are text, so none of them changes when another record is rewritten.
    Write("codes.csv", "id,zip,account,note\r\n1,08123,123456789012345678901,\"\"\r\n2,10115,42,\r\n");
    OpenFolder();
    EXPECT_EQ(Rows(u"SELECT zip, account, note, note IS NULL FROM [codes.csv] ORDER BY id"),
              (std::vector<Row>{{u"08123", u"123456789012345678901", u"", u"0"}, {u"10115", u"42", u"<null>", u"1"}}));
    Exec(u"UPDATE [codes.csv] SET zip = '00501' WHERE id = 2", 1);
    EXPECT_EQ(Read("codes.csv"), "id,zip,account,note\r\n1,08123,123456789012345678901,\"\"\r\n2,00501,42,\r\n");
    Exec(u"UPDATE [codes.csv] SET note = '' WHERE id = 2", 1);
    Exec(u"INSERT INTO [codes.csv] (id, zip, account, note) VALUES (3, '00000', NULL, '')", 1);
    Exec(u"DELETE FROM [codes.csv] WHERE id = 1", 1);
    EXPECT_EQ(Read("codes.csv"), "id,zip,account,note\r\n2,00501,42,\"\"\r\n3,00000,,\"\"\r\n");
    EXPECT_EQ(PythonReads("codes.csv"), "id|zip|account|note\n2|00501|42|\n3|00000||\n");
}

TEST_F(TextWriteTest, DelimiterQuotingLineEndingAndFinalNewlineAreKept) {
    Write("semi.txt", "a;b\n1;x y\n2;z");  // LF, no final newline
    Write("quoted.csv", "\"a\",\"b\"\r\n\"1\",\"x\"\r\n");
    Write("tabs.tab", "a\tb\r\n1\tone\r\n");
    OpenFolder();
    Exec(u"INSERT INTO [semi.txt] VALUES (3, 'semi;colon')");
    EXPECT_EQ(Read("semi.txt"), "a;b\n1;x y\n2;z\n3;\"semi;colon\"");
    Exec(u"UPDATE [semi.txt] SET b = 'w' WHERE a = 1");
    EXPECT_EQ(Read("semi.txt"), "a;b\n1;w\n2;z\n3;\"semi;colon\"");

    Exec(u"INSERT INTO [quoted.csv] VALUES (2, NULL)");
    Exec(u"INSERT INTO [quoted.csv] VALUES (3, 'y')");
    EXPECT_EQ(Read("quoted.csv"), "\"a\",\"b\"\r\n\"1\",\"x\"\r\n\"2\",\r\n\"3\",\"y\"\r\n");
    Exec(u"DELETE FROM [quoted.csv] WHERE a = 2");
    EXPECT_EQ(Read("quoted.csv"), "\"a\",\"b\"\r\n\"1\",\"x\"\r\n\"3\",\"y\"\r\n");

    Exec(u"INSERT INTO [tabs.tab] VALUES (2, 'a,b')");
    EXPECT_EQ(Read("tabs.tab"), "a\tb\r\n1\tone\r\n2\ta,b\r\n");
    EXPECT_EQ(PythonReads("tabs.tab", "utf-8", '\t'), "a|b\n1|one\n2|a,b\n");
}

TEST_F(TextWriteTest, CharacterSetsAndByteOrderMarksAreKept) {
    Write("bom.csv", "\xEF\xBB\xBFname\r\nCaf\xC3\xA9\r\n");
    std::string le = "\xFF\xFE";
    for (char c : std::string("name\r\nx\r\n")) le += c, le += '\0';
    Write("wide.csv", le);
    Write("ansi.csv", "name\r\nCaf\xE9\r\n");  // Windows-1252
    OpenFolder();
    Exec(u"INSERT INTO [bom.csv] VALUES ('\u20AC\U0001F600')");
    EXPECT_EQ(Read("bom.csv"), "\xEF\xBB\xBFname\r\nCaf\xC3\xA9\r\n\xE2\x82\xAC\xF0\x9F\x98\x80\r\n");
    Exec(u"DELETE FROM [bom.csv] WHERE name = 'Caf\u00E9'");
    EXPECT_EQ(Read("bom.csv"), "\xEF\xBB\xBFname\r\n\xE2\x82\xAC\xF0\x9F\x98\x80\r\n");

    Exec(u"UPDATE [wide.csv] SET name = '\u00E9\U0001F600'");
    EXPECT_EQ(PythonReads("wide.csv", "utf-16"), "name\n\u00E9\U0001F600\n");
    EXPECT_EQ(Read("wide.csv").substr(0, 4), std::string("\xFF\xFEn\0", 4));

    Exec(u"INSERT INTO [ansi.csv] VALUES ('\u20AC 5')");
    EXPECT_EQ(Read("ansi.csv"), "name\r\nCaf\xE9\r\n\x80 5\r\n");
    // A character the code page has no place for is refused, and the file is untouched.
    const std::string before = Read("ansi.csv");
    std::string message = Refused(u"INSERT INTO [ansi.csv] VALUES ('\u4E2D')");
    EXPECT_TRUE(Holds(message, {"ANSI", "ansi.csv", "U+4E2D"}));
    Refused(u"UPDATE [ansi.csv] SET name = '\u4E2D'");
    EXPECT_EQ(Read("ansi.csv"), before);
    EXPECT_EQ(Rows(u"SELECT COUNT(*) FROM [ansi.csv]"), (std::vector<Row>{{u"2"}}));
}

TEST_F(TextWriteTest, SchemaIniDecidesDateFormAndUnicodeWithoutAMark) {
    Write("schema.ini",
          "[de.csv]\r\nDateTimeFormat=dd.mm.yyyy hh:nn\r\n"
          "[us.csv]\r\nDateTimeFormat=d-mmm-yy h:nn AM/PM\r\n"
          "[wide.csv]\r\nCharacterSet=Unicode\r\n");
    Write("de.csv", "id;made\r\n1;01.03.2024 13:45\r\n2;31.12.2023 00:00\r\n");
    Write("us.csv", "id,made\r\n1,1-Mar-24 1:45 PM\r\n");
    std::string le;
    for (char c : std::string("name,qty\r\nabc,1\r\n")) le += c, le += '\0';
    Write("wide.csv", le);
    OpenFolder();
    Result r = QueryText(m_session, u"SELECT id, made FROM [de.csv] ORDER BY id");
    ASSERT_EQ(r.columns.size(), 2u);
    EXPECT_EQ(r.columns[1].wType, DBTYPE_DATE);
    EXPECT_EQ(Rows(u"SELECT CAST(made AS TEXT) FROM [de.csv] ORDER BY id"),
              (std::vector<Row>{{u"2024-03-01 13:45:00"}, {u"2023-12-31 00:00:00"}}));
    EXPECT_EQ(Rows(u"SELECT CAST(made AS TEXT) FROM [us.csv]"), (std::vector<Row>{{u"2024-03-01 13:45:00"}}));

    Exec(u"INSERT INTO [de.csv] VALUES (3, #2024-07-04 09:05:00#)");
    Exec(u"UPDATE [us.csv] SET made = '2025-11-30 23:10:00'");
    EXPECT_EQ(Read("de.csv"), "id;made\r\n1;01.03.2024 13:45\r\n2;31.12.2023 00:00\r\n3;04.07.2024 09:05\r\n");
    EXPECT_EQ(Read("us.csv"), "id,made\r\n1,30-Nov-25 11:10 PM\r\n");

    // UTF-16 without a byte order mark stays so.
    Exec(u"INSERT INTO [wide.csv] VALUES ('d\u00E9f', 2)");
    std::string expected;
    for (char c : std::string("name,qty\r\nabc,1\r\nd")) expected += c, expected += '\0';
    expected += std::string("\xE9\0", 2);
    for (char c : std::string("f,2\r\n")) expected += c, expected += '\0';
    EXPECT_EQ(Read("wide.csv"), expected);
}

TEST_F(TextWriteTest, TransactionsCommitTogetherRollBackWholeAndScansSeeTheirChanges) {
    const std::string original = "id,name\r\n1,a\r\n2,b\r\n3,c\r\n";
    Write("t.csv", original);
    OpenFolder();
    auto transaction = Transaction();
    Exec(u"INSERT INTO [t.csv] VALUES (4, 'd')");
    Exec(u"DELETE FROM [t.csv] WHERE id = 1");
    Exec(u"UPDATE [t.csv] SET name = 'D' WHERE id = 4");  // a record appended in this transaction
    EXPECT_EQ(Rows(u"SELECT id, name FROM [t.csv]"), (std::vector<Row>{{u"2", u"b"}, {u"3", u"c"}, {u"4", u"D"}}));
    EXPECT_EQ(Read("t.csv"), original);  // nothing reaches the file before the commit
    ASSERT_EQ(transaction->Abort(nullptr, FALSE, FALSE), S_OK);
    EXPECT_EQ(Read("t.csv"), original);
    EXPECT_EQ(Rows(u"SELECT COUNT(*) FROM [t.csv]"), (std::vector<Row>{{u"3"}}));

    // A statement that fails half-way inside a transaction undoes only itself.
    transaction = Transaction();
    Exec(u"INSERT INTO [t.csv] VALUES (5, 'e')");
    Exec(u"DELETE FROM [t.csv] WHERE id = 2");
    Refused(u"INSERT INTO [t.csv] SELECT id + 10, CASE WHEN id = 3 THEN json('no') ELSE 'x' END FROM [t.csv]");
    Refused(u"UPDATE [t.csv] SET name = CASE WHEN id = 5 THEN json('no') ELSE 'y' END");
    EXPECT_EQ(Rows(u"SELECT id, name FROM [t.csv]"), (std::vector<Row>{{u"1", u"a"}, {u"3", u"c"}, {u"5", u"e"}}));
    ASSERT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(Read("t.csv"), "id,name\r\n1,a\r\n3,c\r\n5,e\r\n");

    // Records added and deleted again in one transaction leave nothing, not even a line break.
    transaction = Transaction();
    Exec(u"INSERT INTO [t.csv] VALUES (6, 'f')");
    Exec(u"DELETE FROM [t.csv] WHERE id = 6", 1);
    ASSERT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(Read("t.csv"), "id,name\r\n1,a\r\n3,c\r\n5,e\r\n");
}

TEST_F(TextWriteTest, AFileChangedByAnotherProgramIsReadAfreshOrRefusedInATransaction) {
    Write("t.csv", "id\r\n1\r\n");
    OpenFolder();
    Exec(u"INSERT INTO [t.csv] VALUES (2)");
    Write("t.csv", "id\r\n7\r\n8\r\n9\r\n");  // another program, between statements
    Exec(u"DELETE FROM [t.csv] WHERE id = 8", 1);
    Exec(u"INSERT INTO [t.csv] VALUES (10)");
    EXPECT_EQ(Read("t.csv"), "id\r\n7\r\n9\r\n10\r\n");
    Write("t.csv", "id\n7\n");  // rewritten with LF line ends: new records follow them
    Exec(u"INSERT INTO [t.csv] VALUES (11)");
    EXPECT_EQ(Read("t.csv"), "id\n7\n11\n");
    Write("t.csv", "id\r\n7\r\n9\r\n10\r\n");

    auto transaction = Transaction();
    Exec(u"INSERT INTO [t.csv] VALUES (11)");
    Write("t.csv", "id\r\n1\r\n");  // ... and in the middle of a transaction
    std::string message = Refused(u"INSERT INTO [t.csv] VALUES (12)");
    EXPECT_TRUE(Holds(message, {"changed by another program", "t.csv"}));
    EXPECT_NE(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(Read("t.csv"), "id\r\n1\r\n");
}

TEST_F(TextWriteTest, WritesToAFolderThatCannotBeWrittenFailAndLeaveTheFile) {
    if (RunningAsRoot()) GTEST_SKIP() << "root writes any folder";
    const std::string original = "id,name\r\n1,a\r\n";
    Write("t.csv", original);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0555), 0);
    OpenFolder();
    std::string message = Refused(u"DELETE FROM [t.csv]");
    EXPECT_TRUE(Holds(message, {"read-only", "t.csv"}));
    ::chmod(m_dir.Path().c_str(), 0755);
    EXPECT_EQ(Read("t.csv"), original);

    // A file that may not be written, in a folder that may.
    ASSERT_EQ(::chmod(m_dir.Path("t.csv").c_str(), 0444), 0);
    OpenFolder();
    message = Refused(u"INSERT INTO [t.csv] VALUES (2, 'b')");
    EXPECT_NE(message.find("t.csv"), std::string::npos) << message;
    EXPECT_EQ(Read("t.csv"), original);
}

TEST_F(TextWriteTest, AFileThatCannotBeReplacedOrDeletedIsLeftAsItWas) {
    // In an append-only folder new files can be made but no name removed: the rewritten
    // file cannot be renamed over the old one. Setting the attribute needs root and a file
    // system that has it.
    const std::string original = "id,name\r\n1,a\r\n2,b\r\n";
    Write("t.csv", original);
    const std::string folder = m_dir.Path();
    if (std::system(("chattr +a '" + folder + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "the folder cannot be made append-only here";
    struct Restore {
        std::string folder;
        ~Restore() { (void)std::system(("chattr -a '" + folder + "'").c_str()); }
    } restore{folder};
    OpenFolder();
    std::string message = Refused(u"UPDATE [t.csv] SET name = 'z'");
    EXPECT_TRUE(Holds(message, {"t.csv", "the file is as it was"}));
    EXPECT_EQ(Read("t.csv"), original);
    EXPECT_EQ(Rows(u"SELECT name FROM [t.csv]"), (std::vector<Row>{{u"a"}, {u"b"}}));
    // Nor can it be deleted; the message says why, and the table stays.
    message = Refused(u"DROP TABLE [t.csv]");
    EXPECT_TRUE(Holds(message, {"Cannot delete the text file", "t.csv"}));
    EXPECT_EQ(Read("t.csv"), original);
    EXPECT_EQ(Rows(u"SELECT COUNT(*) FROM [t.csv]"), (std::vector<Row>{{u"2"}}));
}

TEST_F(TextWriteTest, CreateTableMakesTheFileWithItsTypesAndDropTableDeletesIt) {
    Write("schema.ini", "[other.csv]\r\nColNameHeader=False\r\n");
    OpenFolder();
    Exec(
        u"CREATE TABLE [new.csv] (id INTEGER, name VARCHAR(20), price DOUBLE, made DATETIME, ok BIT, [the note] MEMO)");
    EXPECT_EQ(Read("new.csv"), "id,name,price,made,ok,the note\r\n");
    const std::string ini = Read("schema.ini");
    EXPECT_TRUE(Holds(ini, {"[other.csv]\r\nColNameHeader=False\r\n", "[new.csv]\r\n", "Col2=name Text Width 20\r\n",
                            "Col6=\"the note\" Memo\r\n"}));

    Exec(u"INSERT INTO [new.csv] VALUES (1, 'a,b', 2.5, #2024-03-01#, True, NULL)");
    EXPECT_EQ(PythonReads("new.csv"), "id|name|price|made|ok|the note\n1|a,b|2.5|2024-03-01|True|\n");

    // Another session reads the declared types from schema.ini, not guessed ones.
    OpenFolder();
    Result r = QueryText(m_session, u"SELECT * FROM [new.csv]");
    ASSERT_EQ(r.columns.size(), 6u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_I4);
    EXPECT_EQ(r.columns[1].wType, DBTYPE_WSTR);
    EXPECT_EQ(r.columns[1].ulColumnSize, 20u);
    EXPECT_EQ(r.columns[2].wType, DBTYPE_R8);
    EXPECT_EQ(r.columns[3].wType, DBTYPE_DATE);
    EXPECT_EQ(r.columns[4].wType, DBTYPE_BOOL);

    std::string message = Refused(u"CREATE TABLE [new.csv] (x INTEGER)");
    EXPECT_NE(message.find("new.csv"), std::string::npos) << message;
    Exec(u"CREATE TABLE IF NOT EXISTS [new.csv] (x INTEGER)");
    EXPECT_EQ(PythonReads("new.csv"), "id|name|price|made|ok|the note\n1|a,b|2.5|2024-03-01|True|\n");
    message = Refused(u"CREATE TABLE notes (x INTEGER)");
    EXPECT_NE(message.find(".csv, .txt, .tab or .asc"), std::string::npos) << message;
    Write("stray.csv", "x\r\n");  // made by another program after the session listed the folder
    message = Refused(u"CREATE TABLE [stray.csv] (x INTEGER)");
    EXPECT_NE(message.find("exists"), std::string::npos) << message;
    EXPECT_EQ(Read("stray.csv"), "x\r\n");

    Exec(u"DROP TABLE [new.csv]");
    EXPECT_FALSE(Exists(m_dir.Path("new.csv")));
    EXPECT_EQ(Read("schema.ini"), "[other.csv]\r\nColNameHeader=False\r\n");
    EXPECT_TRUE(FAILED(RunSql(m_session, u"SELECT * FROM [new.csv]")));
}

TEST_F(TextWriteTest, AFolderThatCanBeWrittenIsNotReadOnly) {
    Write("t.csv", "id\r\n1\r\n");
    for (bool readOnly : {false, true}) {
        CComPtr<IDBInitialize> source = DataSource(
            m_dir.WPath(), std::u16string(readOnly ? u"Mode=Read;" : u"") + u"Extended Properties=\"text;HDR=YES\"");
        ASSERT_TRUE(source);
        ASSERT_EQ(source->Initialize(), S_OK);
        CComPtr<IDBProperties> properties;
        ASSERT_EQ(source.QueryInterface(&properties), S_OK);
        DBPROPID id = DBPROP_DATASOURCEREADONLY;
        DBPROPIDSET set = {&id, 1, DBPROPSET_DATASOURCEINFO};
        ULONG count = 0;
        DBPROPSET* sets = nullptr;
        ASSERT_EQ(properties->GetProperties(1, &set, &count, &sets), S_OK);
        EXPECT_EQ(sets[0].rgProperties[0].vValue.boolVal, readOnly ? VARIANT_TRUE : VARIANT_FALSE);
        VariantClear(&sets[0].rgProperties[0].vValue);
        CoTaskMemFree(sets[0].rgProperties);
        CoTaskMemFree(sets);
    }
}

}  // namespace
