// The .xlsx writer: edits applied to workbooks made by another program, read back by that
// program; everything the edits do not touch must come through unchanged.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/workbook/workbook.h"
#include "support/files.h"
#include "support/python.h"
#include "support/xlsx_parts.h"
#include "support/holds.h"

namespace orv::engine::workbook {
namespace {

using orv::test::Holds;

using orv::test::kPython;
using orv::test::RunCommand;
using orv::test::ShellQuote;

// Found from the fixtures folder, an absolute path: __FILE__ is relative to the build folder
// when the compiler cache rewrites paths, and the tests run from another folder.
const std::string kTool = (std::filesystem::path(ORV_FIXTURES).parent_path() / "support" / "xlsx_tool.py").string();

// Runs the helper script with Debian's Python (the one with openpyxl); its output.
std::string Tool(const std::vector<std::string>& args) {
    std::string command = std::string(kPython) + " " + ShellQuote(kTool);
    for (const auto& arg : args) command += " " + ShellQuote(arg);
    std::string out;
    if (RunCommand(command + " 2>&1", out) != 0) throw std::runtime_error(command + " failed:\n" + out);
    return out;
}

// What the tool's dump of `path` prints, against tests/engine/cases/NAME (its lines
// starting with "#" are comments).
void ExpectDump(const std::string& path, const std::string& name) {
    const std::string file = std::string(ORV_TEST_CASES) + "/" + name;
    std::string expected;
    std::istringstream lines(test::ReadFile(file));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind('#', 0) != 0) expected += line + "\n";
    EXPECT_EQ(Tool({"dump", path}), expected) << name;
}

// Entry name -> "sha256 sha256-of-compressed-bytes method", and the names in archive order.
struct Entries {
    std::map<std::string, std::string> byName;
    std::vector<std::string> order;
};
Entries ListEntries(const std::string& path) {
    Entries entries;
    std::istringstream lines(Tool({"entries", path}));
    for (std::string line; std::getline(lines, line);) {
        auto space = line.find(' ');
        entries.order.push_back(line.substr(0, space));
        entries.byName[line.substr(0, space)] = line.substr(space + 1);
    }
    return entries;
}

Cell Text(std::string text) { return {CellType::Text, 0, std::move(text)}; }
Cell Number(double value) { return {CellType::Number, value, {}}; }
Cell Date(double serial) { return {CellType::Date, serial, {}}; }
Cell Boolean(bool value) { return {CellType::Boolean, value ? 1.0 : 0.0, {}}; }
Cell Error(std::string code) { return {CellType::Error, 0, std::move(code)}; }

class WorkbookWriterTest : public ::testing::Test {
protected:
    std::string Source(const std::string& sheet2Xml = "") {
        std::vector<std::string> make{"make", m_dir.Path("source.xlsx")};
        if (!sheet2Xml.empty()) test::WriteFile(make.emplace_back(m_dir.Path("sheet2.xml")), sheet2Xml);
        Tool(make);
        return make[1];
    }
    std::string Save(const std::string& source, const std::vector<SheetEdit>& edits) {
        std::string destination = m_dir.Path("out.xlsx"), error;
        EXPECT_TRUE(SaveXlsx(source, edits, destination, error)) << error;
        return destination;
    }
    std::string Fails(const std::string& source, const std::vector<SheetEdit>& edits) {
        std::string error;
        EXPECT_FALSE(SaveXlsx(source, edits, m_dir.Path("failed.xlsx"), error));
        return error;
    }

    test::TempDir m_dir;
};

TEST_F(WorkbookWriterTest, EditedCellsTakeNewValuesAndEverythingElseComesThrough) {
    std::string source = Source();
    SheetEdit edit;
    edit.sheet = "data";  // sheet names compare without case
    edit.cells[1][1] = Text("Title");  // bold kept
    edit.cells[1][2] = Date(45000);  // bold kept, a date format added
    edit.cells[2][3] = Number(7);  // was a formula
    edit.cells[3][2] = Cell{};  // removed
    edit.cells[3][5] = Number(-0.1);  // a new cell after the row's last
    edit.cells[5] = {{1, Text("kiwi")}, {2, Number(4.75)}};  // rows after the last
    edit.cells[6] = {{1, Date(45000)}, {2, Date(45000.5)}};
    edit.cells[7] = {{1, Text("a<b & \"c\" > 'd'")},
                     {2, Text("line1\nline2\r\nend")},
                     {3, Text("naïve € 😀")},
                     {4, Text(std::string("bell\x07") + "tab\t")},
                     {5, Text("_x0041_ stays")}};
    edit.cells[8] = {{1, Boolean(true)}, {2, Boolean(false)}, {3, Error("#N/A")}, {4, Cell{}}};
    std::string out = Save(source, {edit});

    ExpectDump(out, "writer_edit.dump");

    // Untouched parts keep their compressed bytes; the calculation chain goes with its
    // relationship and content type; the order of entries stays.
    Entries before = ListEntries(source), after = ListEntries(out);
    for (const char* part : {"customXml/item1.xml", "docs/stored.bin", "xl/worksheets/sheet2.xml",
                             "xl/theme/theme1.xml", "docProps/app.xml"})
        EXPECT_EQ(after.byName[part], before.byName[part]) << part;
    // fullCalcOnLoad was already set: the workbook part reads as it was.
    EXPECT_EQ(Tool({"part", out, "xl/workbook.xml"}), Tool({"part", source, "xl/workbook.xml"}));
    EXPECT_EQ(after.byName.count("xl/calcChain.xml"), 0u);
    std::vector<std::string> expectedOrder = before.order;
    std::erase(expectedOrder, "xl/calcChain.xml");
    EXPECT_EQ(after.order, expectedOrder);
    EXPECT_EQ(Tool({"part", out, "xl/_rels/workbook.xml.rels"}).find("calcChain"), std::string::npos);
    EXPECT_EQ(Tool({"part", out, "[Content_Types].xml"}).find("calcChain"), std::string::npos);

    // The sheet's markup outside the edited rows is the source's, byte for byte.
    std::string oldSheet = Tool({"part", source, "xl/worksheets/sheet1.xml"});
    std::string newSheet = Tool({"part", out, "xl/worksheets/sheet1.xml"});
    EXPECT_EQ(newSheet.substr(0, newSheet.find("<dimension")), oldSheet.substr(0, oldSheet.find("<dimension")));
    EXPECT_NE(newSheet.find("<dimension ref=\"A1:E8\"/>"), std::string::npos) << newSheet;
    EXPECT_EQ(newSheet.substr(newSheet.find("</sheetData>")), oldSheet.substr(oldSheet.find("</sheetData>")));
    std::string row4 = oldSheet.substr(oldSheet.find("<row r=\"4\""));
    row4 = row4.substr(0, row4.find("</row>") + 6);
    EXPECT_NE(newSheet.find(row4), std::string::npos);
    EXPECT_TRUE(
        Holds(newSheet, {"<c r=\"A3\" t=\"inlineStr\"><is><t>pear</t></is></c>", "bell_x0007_tab", "_x005F_x0041_"}));

    // Date formats had to be added: a copy of the bold format, and two of the default one.
    std::string styles = Tool({"part", out, "xl/styles.xml"});
    EXPECT_NE(styles.find("<cellXfs count=\"6\">"), std::string::npos) << styles;
}

TEST_F(WorkbookWriterTest, ClearAndCreateSheetsInAnExistingWorkbook) {
    std::string source = Source();
    // Without a calcPr: edited cells bring one asking for a recalculation on opening.
    Tool({"sub", source, "xl/workbook.xml", "<calcPr calcId=\"124519\" fullCalcOnLoad=\"1\"/>", ""});
    SheetEdit clear{"Data", false, true, {}};
    clear.cells[2][2] = Text("only");
    SheetEdit created{"New & Shiny", true, false, {}};
    created.cells[1] = {{1, Text("id")}, {2, Text("when")}};
    created.cells[2] = {{1, Number(1)}, {2, Date(45000.25)}};
    SheetEdit second{"Más", true, false, {}};
    std::string out = Save(source, {clear, created, second});

    ExpectDump(out, "writer_clear_and_create.dump");
    EXPECT_NE(Tool({"part", out, "xl/worksheets/sheet1.xml"}).find("<dimension ref=\"B2\"/>"), std::string::npos);

    std::string workbook = Tool({"part", out, "xl/workbook.xml"});
    EXPECT_TRUE(Holds(workbook, {"name=\"New &amp; Shiny\" sheetId=\"3\"", "name=\"Más\" sheetId=\"4\"",
                                 "</definedNames><calcPr fullCalcOnLoad=\"1\"/></workbook>"}));
    EXPECT_NE(Tool({"part", out, "[Content_Types].xml"}).find("/xl/worksheets/sheet4.xml"), std::string::npos);

    // Creating sheets alone leaves the calculation chain.
    std::string again = m_dir.Path("again.xlsx"), error;
    ASSERT_TRUE(SaveXlsx(source, {SheetEdit{"Third", true, false, {}}}, again, error)) << error;
    EXPECT_EQ(ListEntries(again).byName.count("xl/calcChain.xml"), 1u);
    EXPECT_EQ(Tool({"part", again, "xl/workbook.xml"}).find("calcPr"), std::string::npos);
}

TEST_F(WorkbookWriterTest, NewWorkbookOpensWithItsSheets) {
    SheetEdit first{"First", true, false, {}};
    first.cells[1] = {{1, Text("a")}, {3, Number(1e-300)}};
    first.cells[3] = {{1, Date(2)}, {2, Date(61.75)}, {3, Boolean(true)}};
    SheetEdit second{"Second", true, false, {}};
    std::string out = Save("", {first, second});

    ExpectDump(out, "writer_new.dump");
    EXPECT_EQ(
        ListEntries(out).order,
        (std::vector<std::string>{"[Content_Types].xml", "_rels/.rels", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                                  "xl/styles.xml", "xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml"}));
}

// Markup as other writers produce it: a prefixed namespace, rows and cells without
// references, an empty row, and an edit into each.
TEST_F(WorkbookWriterTest, SheetsWithoutReferencesAndWithPrefixes) {
    const std::string sheet =
        "<?xml version=\"1.0\"?>\n"
        "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><x:sheetData>"
        "<x:row><x:c t=\"inlineStr\"><x:is><x:t>r1a</x:t></x:is></x:c><x:c><x:v>2</x:v></x:c></x:row>"
        "<x:row spans=\"1:1\"><x:c><x:v>3</x:v></x:c></x:row>"
        "<x:row r=\"5\" ht=\"30\" customHeight=\"1\"/>"
        "<x:row><x:c r=\"B6\"><x:v>6</x:v></x:c><x:c><x:v>7</x:v></x:c></x:row>"
        "</x:sheetData><x:extLst><x:ext uri=\"{x}\"/></x:extLst></x:worksheet>";
    std::string source = Source(sheet);
    SheetEdit edit{"Other", false, false, {}};
    edit.cells[1][2] = Number(20);  // second cell of the first row
    edit.cells[2][3] = Number(30);  // after the only cell of row 2
    edit.cells[4][1] = Number(40);  // a new row between 2 and 5
    edit.cells[5][1] = Number(50);  // into an empty row
    edit.cells[6][3] = Cell{};  // the r-less cell after B6 is C6
    std::string out = Save(source, {edit});

    ExpectDump(out, "writer_prefixes.dump");
    std::string written = Tool({"part", out, "xl/worksheets/sheet2.xml"});
    EXPECT_TRUE(Holds(written, {"<x:row r=\"5\" ht=\"30\" customHeight=\"1\"><x:c r=\"A5\"",
                                "</x:sheetData><x:extLst><x:ext uri=\"{x}\"/></x:extLst></x:worksheet>"}));

    // An empty sheetData written as one tag, and a cleared sheet.
    const std::string empty =
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><dimension ref=\"A1\"/>"
        "<sheetData/></worksheet>";
    source = Source(empty);
    SheetEdit fill{"Other", false, false, {}};
    fill.cells[2][2] = Text("x");
    out = Save(source, {fill});
    EXPECT_TRUE(Holds(Tool({"dump", out}), {"\nOther!B2=s:\"x\" fmt=General bold=0\n"}));
    EXPECT_NE(
        Tool({"part", out, "xl/worksheets/sheet2.xml"}).find("<dimension ref=\"A1:B2\"/><sheetData><row r=\"2\">"),
        std::string::npos);
}

// Parts found through the package's relationships, wherever they are and however their
// targets are written.
TEST_F(WorkbookWriterTest, FindsPartsThroughAbsoluteAndRelativeTargets) {
    std::string source = Source();
    Tool({"sub", source, "xl/_rels/workbook.xml.rels", "Target=\"/xl/worksheets/sheet1.xml\"",
          "Target=\"worksheets/sheet1.xml\""});
    Tool({"sub", source, "xl/_rels/workbook.xml.rels", "Target=\"/xl/worksheets/sheet2.xml\"",
          "Target=\"./worksheets/sheet2.xml\""});
    SheetEdit data{"Data", false, false, {{9, {{1, Number(9)}}}}};
    SheetEdit other{"Other", false, false, {{9, {{1, Number(10)}}}}};
    std::string out = Save(source, {data, other});
    ExpectDump(out, "writer_targets.dump");

    // A target that climbs out of its folder (openpyxl itself does not follow it).
    Tool({"sub", source, "xl/_rels/workbook.xml.rels", "Target=\"worksheets/sheet1.xml\"",
          "Target=\"../xl/worksheets/sheet1.xml\""});
    out = Save(source, {data});
    EXPECT_NE(Tool({"part", out, "xl/worksheets/sheet1.xml"}).find("<row r=\"9\"><c r=\"A9\"><v>9</v></c></row>"),
              std::string::npos);
}

// Replacing the cell that holds a shared formula's text: the other cells of the group
// would name a formula that is gone, so they keep their values as plain cells.
TEST_F(WorkbookWriterTest, ReplacingASharedFormulaKeepsTheGroupsValues) {
    const std::string sheet =
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>"
        "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\"><f t=\"shared\" ref=\"B1:B3\" "
        "si=\"0\">A1*2</f><v>2</v></c></row>"
        "<row r=\"2\"><c r=\"A2\"><v>2</v></c><c r=\"B2\"><f t=\"shared\" si=\"0\"/><v>4</v></c></row>"
        "<row r=\"3\"><c r=\"A3\"><v>3</v></c><c r=\"B3\"><f t=\"shared\" si=\"0\"/><v>6</v></c>"
        "<c r=\"C3\"><f t=\"shared\" ref=\"C3\" si=\"1\">A3</f><v>3</v></c></row>"
        "</sheetData></worksheet>";
    std::string source = Source(sheet);
    EXPECT_TRUE(Holds(Tool({"dump", source}), {"\nOther!B3=s:\"=A3*2\" fmt=General bold=0\n"}));
    SheetEdit edit{"Other", false, false, {}};
    edit.cells[1][2] = Number(100);
    std::string out = Save(source, {edit});
    ExpectDump(out, "writer_shared_formula.dump");
}

TEST_F(WorkbookWriterTest, RefusalsNameTheProblem) {
    std::string source = Source();
    EXPECT_EQ(Fails(source, {SheetEdit{"Missing", false, false, {{1, {{1, Number(1)}}}}}}),
              "there is no sheet named 'Missing'");
    EXPECT_EQ(Fails(source, {SheetEdit{"OTHER", true, false, {}}}), "a sheet named 'Other' already exists");
    EXPECT_EQ(Fails(source, {SheetEdit{"a/b", true, false, {}}}),
              "'a/b' is not a valid sheet name: it contains one of : \\ / ? * [ ]");
    EXPECT_NE(Fails(source, {SheetEdit{std::string(32, 'x'), true, false, {}}}).find("longer than 31"),
              std::string::npos);
    EXPECT_EQ(Fails(source, {SheetEdit{"", true, false, {}}}), "a sheet name cannot be empty");
    EXPECT_EQ(Fails("", {}), "a new workbook needs at least one sheet");
    EXPECT_EQ(Fails("", {SheetEdit{"S", true, false, {{2, {{3, Error("#OOPS")}}}}}}),
              "the value of cell S!C2, '#OOPS', is not an error code such as #N/A");
    EXPECT_EQ(Fails("", {SheetEdit{"S", true, false, {{1, {{1, Text(std::string(32768, 'x'))}}}}}}),
              "the text of cell S!A1 is longer than the 32767 characters a cell holds");

    std::string notZip = m_dir.Path("not.xlsx");
    test::WriteFile(notZip, "just some text, not an archive");
    EXPECT_EQ(Fails(notZip, {SheetEdit{"Data", false, true, {}}}), "the workbook is not a zip archive");
    EXPECT_EQ(Fails(m_dir.Path("absent.xlsx"), {}), "the workbook does not exist");

    std::string broken = Source("<worksheet><sheetData><row></sheetData>");
    std::string error = Fails(broken, {SheetEdit{"Other", false, false, {{1, {{1, Number(1)}}}}}});
    EXPECT_EQ(error.rfind("xl/worksheets/sheet2.xml is not well-formed XML at line 1", 0), 0u) << error;

    std::string written;
    EXPECT_FALSE(SaveXlsx(source, {SheetEdit{"Data", false, true, {}}}, m_dir.Path("no/such/dir/out.xlsx"), written));
    EXPECT_NE(written.find("no/such/dir/out.xlsx' could not be created (No such file or directory)"), std::string::npos)
        << written;
}

// A full disk, as a file size limit: the sheet's temporary file fails first when the edit
// is large, the archive's closing when it is small.
TEST_F(WorkbookWriterTest, AFailedWriteIsReported) {
    std::string source = Source();
    for (std::uint32_t rows : {1u, 400u}) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
            rlimit limit{2048, 2048};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            SheetEdit edit{"Data", false, false, {}};
            for (std::uint32_t row = 10; row < 10 + rows; ++row)
                edit.cells[row][1] = Text("filler " + std::to_string(row));
            std::string error;
            bool saved = SaveXlsx(source, {edit}, m_dir.Path("limited.xlsx"), error);
            const char* expected =
                rows == 1 ? "the new file could not be written" : "a temporary file could not be written";
            bool named = error.rfind(expected, 0) == 0;
            if (!saved && !named) std::fprintf(stderr, "unexpected error: %s\n", error.c_str());
            ::_exit(saved ? 1 : named ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << rows << " rows";
    }
}

// Appending a row to a large sheet streams it: the time and the memory added are reported.
// A Date written into a cell keeps the cell's format when that format shows a date, and gets
// a date format otherwise; either way it must read back as a date. The writer and the reader
// once disagreed on bracketed sections such as [hm], which the writer took for elapsed time.
TEST_F(WorkbookWriterTest, ADateWrittenUnderAnyNumberFormatReadsBackAsADate) {
    for (const char* code : {"[h]:mm", "[mm]:ss", "[ss]", "[hm]", "[ms]", "[Magenta]yyyy-mm-dd", "yyyy-mm-dd", "0.00",
                             "[Red]0.00", "\"h\"0", "General"}) {
        SCOPED_TRACE(code);
        test::Parts parts = test::OneSheet("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>1</v></c></row>");
        parts[1].second.insert(parts[1].second.find("</Relationships>"),
                               "<Relationship Id=\"rIdS\" Type=\"http://schemas.openxmlformats.org/officeDocument/"
                               "2006/relationships/styles\" Target=\"styles.xml\"/>");
        std::string quoted;
        for (const char* c = code; *c; ++c) quoted += *c == '"' ? std::string("&quot;") : std::string(1, *c);
        parts.emplace_back("xl/styles.xml", "<styleSheet xmlns=\"" + std::string(test::kMain) +
                                                "\"><numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"" +
                                                quoted +
                                                "\"/></numFmts><cellXfs count=\"2\"><xf numFmtId=\"0\"/>"
                                                "<xf numFmtId=\"164\"/></cellXfs></styleSheet>");
        const std::string source = m_dir.Path("formats.xlsx");
        test::WriteArchive(source, parts);

        SheetEdit edit{"S", false, false, {}};
        edit.cells[1][1] = Date(45000.75);
        edit.cells[1][2] = Date(45001);
        Workbook book;
        std::string error;
        ASSERT_TRUE(LoadXlsx(Save(source, {edit}), book, error)) << error;
        ASSERT_EQ(book.sheets.at(0).cells.size(), 2u);
        for (const PlacedCell& placed : book.sheets[0].cells) {
            EXPECT_EQ(placed.cell.type, CellType::Date) << CellReference(placed.row, placed.column);
            EXPECT_DOUBLE_EQ(placed.cell.number, placed.column == 1 ? 45000.75 : 45001);
        }
    }
}

TEST_F(WorkbookWriterTest, AppendingToALargeSheetStreams) {
    constexpr int kRows = 100000;
    std::string source = m_dir.Path("big.xlsx");
    Tool({"big", source, std::to_string(kRows)});
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    long rssBefore = usage.ru_maxrss;
    SheetEdit edit{"Big", false, false, {}};
    edit.cells[kRows + 1] = {{1, Number(kRows + 1)}, {2, Text("appended")}};
    auto start = std::chrono::steady_clock::now();
    std::string out = Save(source, {edit});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::getrusage(RUSAGE_SELF, &usage);
    std::cout << "[ figures  ] appending one row to " << kRows << " rows: " << seconds << " s, peak memory grew by "
              << (usage.ru_maxrss - rssBefore) << " KiB (peak " << usage.ru_maxrss << " KiB)\n";
    EXPECT_LT(usage.ru_maxrss - rssBefore, 16 * 1024);

    std::string oldSheet = Tool({"part", source, "xl/worksheets/sheet1.xml"});
    std::string newSheet = Tool({"part", out, "xl/worksheets/sheet1.xml"});
    std::string appended =
        "<row r=\"100001\"><c r=\"A100001\"><v>100001</v></c><c r=\"B100001\" t=\"inlineStr\"><is><t "
        "xml:space=\"preserve\">appended</t></is></c></row></sheetData>";
    ASSERT_NE(newSheet.find(appended), std::string::npos);
    // Only the appended row differs (openpyxl's write-only mode writes no dimension).
    auto oldEnd = oldSheet.find("</sheetData>");
    EXPECT_EQ(newSheet.substr(0, oldEnd), oldSheet.substr(0, oldEnd));

    // A sheet that no edit touches is copied compressed, whatever its size.
    std::string copied = m_dir.Path("copied.xlsx"), error;
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SaveXlsx(source, {SheetEdit{"Small", true, false, {{1, {{1, Number(1)}}}}}}, copied, error)) << error;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "[ figures  ] adding a sheet beside " << kRows << " untouched rows: " << seconds << " s\n";
    EXPECT_EQ(ListEntries(copied).byName["xl/worksheets/sheet1.xml"],
              ListEntries(source).byName["xl/worksheets/sheet1.xml"]);
}

}  // namespace
}  // namespace orv::engine::workbook
