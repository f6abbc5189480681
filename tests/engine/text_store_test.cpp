// Folders of delimited text files as tables: quoting, encodings, headers, delimiters,
// schema.ini, inferred types as a consumer sees them, queries over files, and scans that
// stream the file.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/text/text_file.h"
#include "support/engine_session.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

namespace {

using TextStoreTest = SessionTest;

using Row = std::vector<std::u16string>;

TEST_F(TextStoreTest, QuotedFieldsKeepDelimitersQuotesAndLineBreaks) {
    Write("parts.csv",
          "id,name,note\r\n"
          "1,\"Bolt, hex\",\"say \"\"hi\"\"\"\r\n"
          "2,Nut,\"two\r\nlines\"\r\n"
          "3,,\r\n");
    OpenFolder();
    Result r = Query(u"SELECT id, name, note FROM [parts.csv]");
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.names, (Row{u"id", u"name", u"note"}));
    EXPECT_EQ(r.rows[0], (Row{u"1", u"Bolt, hex", u"say \"hi\""}));
    EXPECT_EQ(r.rows[1], (Row{u"2", u"Nut", u"two\r\nlines"}));
    EXPECT_EQ(r.rows[2], (Row{u"3", u"<null>", u"<null>"}));  // empty fields are NULL
}

TEST_F(TextStoreTest, EncodingsByByteOrderMarkAndSchema) {
    Write("bom.csv", "\xEF\xBB\xBFname,qty\nCaf\xC3\xA9,2\n");
    // UTF-16 little endian with a BOM, a character beyond the BMP included.
    std::u16string text = u"\uFEFFname,qty\r\nna\u00EFve \U0001F600,5\r\n";
    std::string le;
    for (char16_t c : text) le += char(c & 0xFF), le += char(c >> 8);
    Write("wide.csv", le);
    std::string be;
    for (char16_t c : text) be += char(c >> 8), be += char(c & 0xFF);
    Write("wide_be.csv", be);
    // Windows-1252 bytes, named in schema.ini.
    Write("ansi.csv", "name,qty\n\x80 caf\xE9,7\n");
    Write("schema.ini", "[ansi.csv]\nCharacterSet=ANSI\n");
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT name, qty FROM [bom.csv]").rows, (std::vector<Row>{{u"Caf\u00E9", u"2"}}));
    EXPECT_EQ(Query(u"SELECT name, qty FROM [wide.csv]").rows, (std::vector<Row>{{u"na\u00EFve \U0001F600", u"5"}}));
    EXPECT_EQ(Query(u"SELECT name, qty FROM [wide_be.csv]").rows, (std::vector<Row>{{u"na\u00EFve \U0001F600", u"5"}}));
    EXPECT_EQ(Query(u"SELECT name FROM [ansi.csv]").rows, (std::vector<Row>{{u"\u20AC caf\u00E9"}}));
}

TEST_F(TextStoreTest, HeaderNamesAreMadeUniqueAndWithoutAHeaderColumnsAreNumbered) {
    Write("h.csv", "x,,X,x\n1,2,3,4\n");
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT * FROM [h.csv]").names, (Row{u"x", u"F2", u"X_2", u"x_3"}));
    // Case is ignored in every script, as it is in names.
    Write("u.csv", "\xC3\x84nderung,\xC3\xA4nderung\n1,2\n");
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT * FROM [u.csv]").names, (Row{u"\u00C4nderung", u"\u00E4nderung_2"}));

    // Without a header the columns are numbered.
    Write("data.txt", "a,1\nb,2\n");
    OpenFolder(u"text;HDR=NO");
    Result r = Query(u"SELECT * FROM [data.txt]");
    EXPECT_EQ(r.names, (Row{u"F1", u"F2"}));
    EXPECT_EQ(r.rows, (std::vector<Row>{{u"a", u"1"}, {u"b", u"2"}}));
}

TEST_F(TextStoreTest, AFileIsFoundByItsNameInAnotherCase) {
    Write(
        "\xC3\x9C"
        "bersicht.csv",
        "id\n1\n2\n");
    OpenFolder();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [\u00FCBERSICHT.csv]"), u"2");
    EXPECT_EQ(Scalar(u"SELECT MAX(id) FROM \u00FCbersicht#csv"), u"2");
    // The catalogs still list the file once, under its own name.
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table'"), u"1");
}

TEST_F(TextStoreTest, DelimitersAreSniffed) {
    Write("semi.csv", "a;b;c\n1;\"x;y\";3\n4;5;6\n");
    Write("tabs.tab", "a\tb\n1,5\t2\n");
    Write("pipes.asc", "a|b\n1|2\n");
    Write("one.csv", "just one column\nsecond, with a comma\n");
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT * FROM [semi.csv]").rows, (std::vector<Row>{{u"1", u"x;y", u"3"}, {u"4", u"5", u"6"}}));
    EXPECT_EQ(Query(u"SELECT * FROM [tabs.tab]").rows, (std::vector<Row>{{u"1,5", u"2"}}));
    EXPECT_EQ(Query(u"SELECT * FROM [pipes.asc]").rows, (std::vector<Row>{{u"1", u"2"}}));
    EXPECT_EQ(Query(u"SELECT b FROM [pipes.asc]").rows, (std::vector<Row>{{u"2"}}));
}

TEST_F(TextStoreTest, SchemaIniNamesColumnsAndFormat) {
    Write("orders.txt", "1;2024-03-01;12.5;yes\n2;2024-03-02;7;no\n");
    Write("schema.ini",
          "; the order export\n"
          "[orders.txt]\n"
          "ColNameHeader=False\n"
          "Format=Delimited(;)\n"
          "Col1=OrderId Long\n"
          "Col2=\"Order Date\" DateTime\n"
          "Col3=Amount Currency\n"
          "Col4=Paid Bit\n"
          "[other.csv]\nColNameHeader=True\n");
    OpenFolder();
    Result r = Query(u"SELECT * FROM [orders.txt] ORDER BY OrderId");
    EXPECT_EQ(r.names, (Row{u"OrderId", u"Order Date", u"Amount", u"Paid"}));
    ASSERT_EQ(r.columns.size(), 4u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_I4);
    EXPECT_EQ(r.columns[1].wType, DBTYPE_DATE);
    EXPECT_EQ(r.columns[2].wType, DBTYPE_CY);
    EXPECT_EQ(r.columns[3].wType, DBTYPE_BOOL);
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0][0], u"1");
    EXPECT_EQ(r.rows[0][2], u"12.5");
    EXPECT_EQ(r.rows[1][3], u"False");
    EXPECT_EQ(Scalar(u"SELECT [Order Date] FROM [orders.txt] WHERE OrderId = 2").substr(0, 10), u"2024-03-02");
}

TEST_F(TextStoreTest, InferredTypesAndValues) {
    Write("kinds.csv",
          "n,big,x,d,b,t,m\n"
          "1,5000000000,1.25,2024-03-01,true,alpha,short\n"
          "-7,1,2,3/15/2024 1:30 PM,No,\"$1,234.50\"," +
              std::string(300, 'z') + "\n");
    OpenFolder();
    Result r = Query(u"SELECT * FROM [kinds.csv]");
    ASSERT_EQ(r.columns.size(), 7u);
    const DBTYPE expected[] = {DBTYPE_I4, DBTYPE_I8, DBTYPE_R8, DBTYPE_DATE, DBTYPE_BOOL, DBTYPE_WSTR, DBTYPE_WSTR};
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(r.columns[i].wType, expected[i]) << "column " << i + 1;
    EXPECT_EQ(r.columns[5].ulColumnSize, 255u);
    EXPECT_TRUE(r.columns[6].dwFlags & DBCOLUMNFLAGS_ISLONG);  // longer than 255: a memo
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[1][0], u"-7");
    EXPECT_EQ(r.rows[0][1], u"5000000000");
    EXPECT_EQ(r.rows[0][2], u"1.25");
    EXPECT_EQ(r.rows[1][4], u"False");
    EXPECT_EQ(r.rows[1][5], u"$1,234.50");
    // Dates reach SQLite as ISO text, so its date functions work on them.
    EXPECT_EQ(Scalar(u"SELECT strftime('%Y-%m-%d %H:%M', d) FROM [kinds.csv] WHERE n = -7"), u"2024-03-15 13:30");
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [kinds.csv] WHERE b"), u"1");
}

// Currency and decimals at the edges of their ranges read back digit for digit, though a
// double holds only 15 of them; shorter amounts still compare and sum as numbers.
TEST_F(TextStoreTest, CurrencyAndDecimalsKeepEveryDigit) {
    Write("schema.ini",
          "[money.csv]\nColNameHeader=True\nFormat=CSVDelimited\n"
          "Col1=id Long\nCol2=amount Currency\nCol3=rate Decimal Precision 28 Scale 4\n");
    Write("money.csv",
          "id,amount,rate\n"
          "1,922337203685477.5807,123456789012345678901234.5678\n"
          "2,-922337203685477.5808,-0.0001\n"
          "3,12.5,2.25\n");
    OpenFolder();
    Result r = Query(u"SELECT amount, rate FROM [money.csv] ORDER BY id");
    ASSERT_EQ(r.columns.size(), 2u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_CY);
    EXPECT_EQ(r.columns[1].wType, DBTYPE_NUMERIC);
    EXPECT_EQ(r.columns[1].bPrecision, 28);
    EXPECT_EQ(r.rows, (std::vector<Row>{{u"922337203685477.5807", u"123456789012345678901234.5678"},
                                        {u"-922337203685477.5808", u"-0.0001"},
                                        {u"12.5", u"2.2500"}}));
    EXPECT_EQ(Scalar(u"SELECT id FROM [money.csv] WHERE amount > 10 AND amount < 100"), u"3");
}

TEST_F(TextStoreTest, AValueThatDoesNotFitItsColumnStillReadsAsARow) {
    auto file = [](int goodRows) {
        std::string body = "id,name\n";
        for (int i = 1; i <= goodRows; ++i) body += std::to_string(i) + ",n" + std::to_string(i) + "\n";
        return body + "oops,late\n";  // beyond the rows the file's types are guessed from
    };
    Write("late.csv", file(30));
    Write("later.csv", file(200));
    OpenFolder();
    // Within the rows a result samples, the column widens to text and the value reads as itself.
    Result r = Query(u"SELECT id, name FROM [late.csv]");
    ASSERT_EQ(r.rows.size(), 31u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_WSTR);
    EXPECT_EQ(r.rows[29], (Row{u"30", u"n30"}));
    EXPECT_EQ(r.rows[30], (Row{u"oops", u"late"}));
    // Beyond them, the row still reads, with a conversion status instead of a made-up number.
    r = Query(u"SELECT id, name FROM [later.csv]");
    ASSERT_EQ(r.rows.size(), 201u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_I4);
    EXPECT_EQ(r.rows[199], (Row{u"200", u"n200"}));
    EXPECT_EQ(r.rows[200], (Row{u"<error>", u"late"}));
    EXPECT_EQ(Scalar(u"SELECT CAST(id AS TEXT) FROM [later.csv] WHERE name = 'late'"), u"oops");

    // MaxScanRows=0 looks at every row: the file's column is text.
    Write("schema.ini", "[later.csv]\nMaxScanRows=0\n");
    m_session.Release();
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT id FROM [later.csv]").columns[0].wType, DBTYPE_WSTR);
}

TEST_F(TextStoreTest, QueriesJoinAggregateAndSortAcrossFiles) {
    Write("parts.csv", "id,name,price\n1,bolt,0.5\n2,nut,0.25\n3,gear,12\n");
    Write("stock.csv", "part,qty\n1,100\n3,4\n1,20\n");
    Write("readme.md", "not a table\n");
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT p.name, SUM(s.qty) FROM parts#csv p JOIN [stock.csv] s ON s.part = p.id "
                    u"GROUP BY p.name ORDER BY p.name")
                  .rows,
              (std::vector<Row>{{u"bolt", u"120"}, {u"gear", u"4"}}));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM parts#csv"), u"3");
    EXPECT_EQ(Scalar(u"SELECT SUM(price) FROM [parts.csv]"), u"12.75");
    EXPECT_EQ(Query(u"SELECT name FROM [parts.csv] ORDER BY price DESC").rows,
              (std::vector<Row>{{u"gear"}, {u"bolt"}, {u"nut"}}));
    HRESULT hr = RunSql(m_session, u"SELECT * FROM [readme.md]");
    EXPECT_TRUE(FAILED(hr));
}

TEST_F(TextStoreTest, ChangesToAFolderOpenedForReadingAreRefusedNamingTheFile) {
    Write("parts.csv", "id\n1\n");
    m_session = OpenSession(m_dir.WPath(), u"Mode=Read;Extended Properties=\"text;HDR=YES\"");
    ASSERT_TRUE(m_session);
    for (const char16_t* sql : {u"INSERT INTO [parts.csv] VALUES (2)", u"DELETE FROM [parts.csv]",
                                u"CREATE TABLE [new.csv] (a INTEGER)", u"DROP TABLE [parts.csv]"}) {
        EXPECT_TRUE(FAILED(RunSql(m_session, sql))) << Utf16ToUtf8(sql);
        std::u16string message = LastErrorDescription();
        EXPECT_NE(message.find(u"read-only"), std::u16string::npos) << Utf16ToUtf8(message);
        EXPECT_NE(message.find(u".csv"), std::u16string::npos) << Utf16ToUtf8(message);
    }
    EXPECT_EQ(ReadFile(m_dir.Path("parts.csv")), "id\n1\n");
    EXPECT_FALSE(Exists(m_dir.Path("new.csv")));
}

TEST_F(TextStoreTest, AFileOfTheFolderOpensTheFolderAndAMissingFolderIsNamed) {
    Write("a.csv", "x\n1\n");
    m_session = OpenSession(m_dir.WPath("a.csv"), u"Extended Properties=\"text;HDR=YES\"");
    ASSERT_TRUE(m_session);
    EXPECT_EQ(Scalar(u"SELECT x FROM [a.csv]"), u"1");
    m_session.Release();

    std::u16string missing = m_dir.WPath("no/such/folder");
    CComPtr<IDBInitialize> source = DataSource(missing, u"Extended Properties=\"text;HDR=YES\"");
    ASSERT_TRUE(source);
    EXPECT_TRUE(FAILED(source->Initialize()));
    std::u16string message = LastErrorDescription();
    EXPECT_NE(message.find(u"no such folder"), std::u16string::npos) << Utf16ToUtf8(message);
    EXPECT_NE(message.find(missing), std::u16string::npos) << Utf16ToUtf8(message);
}

TEST_F(TextStoreTest, AFolderWithoutTextFilesHasNoTables) {
    Write("notes.md", "a,b\n1,2\n");
    std::filesystem::create_directory(m_dir.Path("sub.csv"));  // a folder is no table, whatever its name
    OpenFolder();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM sqlite_master"), u"0");
}

// The folder opens; the file fails alone, in the statement that names it.
TEST_F(TextStoreTest, AFileThatCannotBeReadAsDescribedIsNamedWhenUsed) {
    Write("fixed.txt", "0001ABC\n");
    Write("good.csv", "id\n7\n");
    Write("schema.ini", "[fixed.txt]\nFormat=FixedLength\n");
    OpenFolder();
    EXPECT_EQ(Scalar(u"SELECT id FROM [good.csv]"), u"7");
    EXPECT_NE(RunSql(m_session, u"SELECT * FROM [fixed.txt]"), S_OK);
    std::u16string message = LastErrorDescription();
    EXPECT_NE(message.find(u"fixed.txt"), std::u16string::npos) << Utf16ToUtf8(message);
    EXPECT_NE(message.find(u"FixedLength"), std::u16string::npos) << Utf16ToUtf8(message);
}

TEST_F(TextStoreTest, ScansStreamTheFileAndRestartAtTheTop) {
    const std::string path = m_dir.Path("big.csv");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fputs("id,name,amount,note\n", f);
        std::string line;
        long rows = 0;
        for (long written = 0; written < 50L * 1024 * 1024; ++rows) {
            line = std::to_string(rows + 1) + ",\"name " + std::to_string(rows) + ", quoted\"," +
                   std::to_string(rows % 1000) + ".5,some filler text to make the line longer\n";
            std::fputs(line.c_str(), f);
            written += long(line.size());
        }
        std::fclose(f);
        OpenFolder();
        // Start the peak over from the present size where Linux allows it, so that an
        // earlier test's peak cannot hide this scan's.
        if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        struct rusage before;
        getrusage(RUSAGE_SELF, &before);
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [big.csv]"), Utf8ToUtf16(std::to_string(rows)));
        struct rusage after;
        getrusage(RUSAGE_SELF, &after);
        // ru_maxrss is in kilobytes; the peak may grow a little, never by the file's size.
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 10L * 1024)
            << "peak RSS grew by " << after.ru_maxrss - before.ru_maxrss << " KB";
    }
    // A backward move reruns the statement: the scan starts again at the first record.
    CComPtr<IRowset> rowset;
    ASSERT_EQ(RunSql(m_session, u"SELECT id FROM [big.csv] WHERE id <= 3", &rowset), S_OK);
    for (int pass = 0; pass < 2; ++pass) {
        HROW rows[3];
        HROW* p = rows;
        DBCOUNTITEM obtained = 0;
        EXPECT_TRUE(SUCCEEDED(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 3, &obtained, &p)));
        EXPECT_EQ(obtained, 3u);
        rowset->ReleaseRows(obtained, rows, nullptr, nullptr, nullptr);
        ASSERT_EQ(rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    }
}

// ---- The reader alone ----------------------------------------------------------------

TEST(TextReaderTest, RecordsFromMemory) {
    orv::engine::text::TextReader reader("a,\"b\"\"c\",\n\n\"unterminated, to the end", ',');
    std::vector<std::string> fields;
    std::size_t count = 0;
    ASSERT_TRUE(reader.Next(fields, count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(fields[0], "a");
    EXPECT_EQ(fields[1], "b\"c");
    EXPECT_EQ(fields[2], "");  // a trailing delimiter ends with an empty field
    ASSERT_TRUE(reader.Next(fields, count));  // the blank line is skipped
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(fields[0], "unterminated, to the end");
    EXPECT_FALSE(reader.Next(fields, count));
}

TEST(TextReaderTest, ValuesAndDelimitersAreClassified) {
    using namespace orv::engine::text;
    EXPECT_EQ(ClassifyValue(" 42 "), Kind::Integer);
    EXPECT_EQ(ClassifyValue("9999999999"), Kind::BigInt);
    EXPECT_EQ(ClassifyValue("1e3"), Kind::Real);
    EXPECT_EQ(ClassifyValue("inf"), Kind::Text);
    EXPECT_EQ(ClassifyValue("2024-02-29"), Kind::Date);
    EXPECT_EQ(ClassifyValue("2023-02-29"), Kind::Text);  // no such day
    EXPECT_EQ(ClassifyValue("12/31/2024 23:59:59"), Kind::Date);
    EXPECT_EQ(ClassifyValue("YES"), Kind::Boolean);
    EXPECT_EQ(ClassifyValue(""), std::nullopt);
    // Numbers that would lose a digit as numbers are text: leading zeros, and more digits
    // than a double keeps (64-bit integers are exact and stay integers).
    EXPECT_EQ(ClassifyValue("08123"), Kind::Text);
    EXPECT_EQ(ClassifyValue("-007.5"), Kind::Text);
    EXPECT_EQ(ClassifyValue("0"), Kind::Integer);
    EXPECT_EQ(ClassifyValue("0.25"), Kind::Real);
    EXPECT_EQ(ClassifyValue("4111111111111111"), Kind::BigInt);
    EXPECT_EQ(ClassifyValue("123456789012345678901234"), Kind::Text);
    EXPECT_EQ(ClassifyValue("3.14159265358979323846"), Kind::Text);
    EXPECT_EQ(ClassifyValue("0.000000000000001"), Kind::Real);
    EXPECT_EQ(ClassifyValue("1.5e300"), Kind::Real);
    EXPECT_EQ(ParseDateValue("1/2/2024 12:05 AM"), std::optional<std::string>("2024-01-02 00:05:00"));
    EXPECT_EQ(SniffDelimiter("a,b;c\n1,2;3\n"), ',');
    EXPECT_EQ(SniffDelimiter("\"a;b\",c;d\n1;2\n"), ';');  // quoted delimiters do not count
    EXPECT_EQ(SniffDelimiter("a|b|c\n1|2\n"), '|');  // no steady count: the widest first line
    // A quote or a line break cannot delimit fields: records written with it would not read back.
    for (const char* props : {"FMT=Delimited(\")", "FMT=Delimited(\n)"}) {
        TextSettings settings = ParseExtendedProperties(props);
        EXPECT_FALSE(settings.delimiter) << props;
        EXPECT_NE(settings.unsupported.find("quotes or line breaks"), std::string::npos) << props;
    }
    EXPECT_EQ(ParseExtendedProperties("FMT=Delimited(!)").delimiter, std::optional<char>('!'));
}

}  // namespace
