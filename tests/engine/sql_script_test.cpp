// Runs the SQL scripts of tests/engine/sql/*.test, one test per file, each on a fresh
// database file reached through the engine's commands. A script is a list of records,
// each a directive line followed by text up to a blank line:
//
//   sqlite [NAME]              statements run by SQLite itself on the file (NAME: another
//                              file of the folder) before the engine opens it (to set up
//                              rows the dialect cannot write)
//   statement ok [count N]     SQL that succeeds (and reports N rows affected)
//   statement error [text]     SQL that fails, its error description holding `text`
//   statement fails CODE [text]  the same, failing with DB_E_CODE
//   query                      SQL, a line "----", then the expected rows, one a line,
//                              columns separated by "|", NULL for a null
//   begin [LEVEL] | commit | rollback  a local transaction of the session, LEVEL the nesting
//                              level it starts ("commit fails": refused; "commit none",
//                              "rollback none": no transaction to end)
//   elsewhere                  SQL that succeeds on a second connection to the file,
//                              closed right after (another program's change)
//   rewrite                    SQL, "----", then the SQL the dialect rewrite gives for it
//   rewrite error [text]       SQL the rewrite refuses, naming `text`
//   rewrite unchanged          one SQL a line: the rewrite skips it and would not change it
//   rewrite flagged            one SQL a line: the rewrite must look at it
//
// and for folders of text files (the text lines of `file` and `contents` are joined without
// a separator, after the escapes \r \n \t \\ and \xHH are replaced):
//
//   fresh                      a new empty folder, no session
//   file NAME                  writes the file NAME of the folder (another program's write);
//                              NAME/ makes a folder
//   link NAME TARGET           makes NAME a symbolic link to TARGET
//   chmod NAME MODE            gives NAME the octal permissions MODE
//   folder [PROPS]             opens the folder as text tables, Extended Properties PROPS
//                              (text;HDR=YES;FMT=Delimited by default); a text line adds
//                              more initialisation properties
//   contents NAME              the bytes the file holds
//   absent NAME                no such file
//   csv NAME [ENCODING [DELIM]]  the records as Python's csv module reads them, fields
//                              joined by "|" (utf-8-sig and "," by default)
//
// "query names" and "query types" put the column names and types (WSTR(size), MEMO,
// NUMERIC(precision,scale) or the type's name) before the rows; values show a carriage
// return and a line feed as \r and \n. "statement error" may name several texts,
// separated by " | ".
//
//   schema KIND [names] [types] [COLUMN...]  the schema rowset KIND (TABLES, COLUMNS,
//                              INDEXES) under the restrictions of its text line (separated
//                              by "|", NULL for an absent one; no line: none), "----", and
//                              its rows as "query" shows them, only the COLUMNs named
//   schema error KIND          the same, refused as an invalid argument
//   definition TABLE           "----", then the table's column definitions, one a line:
//                              "auto" for an auto-increment column, its seed/step, "not
//                              null", "default TEXT"
//   definition missing TABLE   no such table, and the error names it
// $HERE in a record stands for the data's folder, $OUTSIDE for a folder beside it; a NAME
// may be a whole path. Lines starting with "#" outside a record are comments.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/sql/rewrite.h"
#include "support/engine_session.h"
#include "support/python.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

namespace {

struct Record {
    int line = 0;
    std::string directive;
    std::vector<std::string> text;  // lines before "----"
    std::vector<std::string> expected;  // lines after it
    bool separated = false;
};

std::vector<Record> ReadScript(const std::string& path) {
    std::ifstream in(path);
    std::vector<Record> records;
    std::string line;
    int number = 0;
    Record* open = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) {
            open = nullptr;
        } else if (!open) {
            if (line[0] == '#') continue;
            records.push_back({number, line, {}, {}, false});
            open = &records.back();
        } else if (line == "----") {
            open->separated = true;
        } else {
            (open->separated ? open->expected : open->text).push_back(line);
        }
    }
    return records;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
    return out;
}

// What follows `word` in a directive line, or nothing when the line does not start with it.
bool Takes(const std::string& directive, const std::string& word, std::string& rest) {
    if (directive.compare(0, word.size(), word) != 0) return false;
    if (directive.size() > word.size() && directive[word.size()] != ' ') return false;
    rest = directive.size() > word.size() ? directive.substr(word.size() + 1) : "";
    return true;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

std::string Shown(const std::u16string& value) {
    if (value == u"<null>") return "NULL";
    std::string out;
    for (char c : Utf16ToUtf8(value)) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

std::string TypeName(const DBCOLUMNINFO& column) {
    static const std::map<DBTYPE, std::string> kNames = {
        {DBTYPE_I2, "I2"},      {DBTYPE_I4, "I4"},     {DBTYPE_I8, "I8"},     {DBTYPE_UI2, "UI2"},
        {DBTYPE_UI4, "UI4"},    {DBTYPE_UI8, "UI8"},   {DBTYPE_R8, "R8"},     {DBTYPE_CY, "CY"},
        {DBTYPE_DATE, "DATE"},  {DBTYPE_BOOL, "BOOL"}, {DBTYPE_GUID, "GUID"}, {DBTYPE_UI1, "UI1"},
        {DBTYPE_BYTES, "BYTES"}};
    if (column.wType == DBTYPE_WSTR)
        return column.dwFlags & DBCOLUMNFLAGS_ISLONG && column.ulColumnSize > 8000
                   ? "MEMO"
                   : "WSTR(" + std::to_string(column.ulColumnSize) + ")";
    if (column.wType == DBTYPE_NUMERIC)
        return "NUMERIC(" + std::to_string(column.bPrecision) + "," + std::to_string(column.bScale) + ")";
    const auto name = kNames.find(column.wType);
    return name == kNames.end() ? std::to_string(column.wType) : name->second;
}

// The records of a file as Python's csv module reads them, a line each, fields joined by
// '|', line breaks inside fields shown as \r and \n.
std::string PythonReads(const std::string& path, const std::string& encoding, const std::string& delimiter) {
    std::string command =
        "/usr/bin/python3 -c \"import csv,sys\n"
        "f=open(sys.argv[1],newline='',encoding=sys.argv[2])\n"
        "for r in csv.reader(f,delimiter=sys.argv[3]):\n"
        " print('|'.join(x.replace(chr(13),chr(92)+'r').replace(chr(10),chr(92)+'n') for x in r))\" " +
        ShellQuote(path) + " " + ShellQuote(encoding) + " " + ShellQuote(delimiter);
    std::string out;
    EXPECT_EQ(RunCommand(command, out), 0) << command;
    return out;
}

// The lines a "query" or "schema" record expects: the names and the types when `flags`
// asks for them, then the rows; only the columns named in `shown`, when it names any.
std::string Lines(const Result& result, const std::string& flags, const std::vector<std::string>& shown = {}) {
    std::vector<std::size_t> columns;
    for (std::size_t i = 0; i < result.names.size(); ++i)
        if (shown.empty() || std::find(shown.begin(), shown.end(), Utf16ToUtf8(result.names[i])) != shown.end())
            columns.push_back(i);
    EXPECT_EQ(columns.size(), shown.empty() ? result.names.size() : shown.size()) << "a column named is not there";
    std::vector<std::string> rows;
    auto add = [&](auto&& show) {
        std::string line;
        for (std::size_t i : columns) line += (i == columns[0] ? "" : "|") + show(i);
        rows.push_back(line);
    };
    if (flags.find("names") != std::string::npos) add([&](std::size_t i) { return Utf16ToUtf8(result.names[i]); });
    if (flags.find("types") != std::string::npos) add([&](std::size_t i) { return TypeName(result.columns[i]); });
    for (const auto& row : result.rows) add([&](std::size_t i) { return Shown(row[i]); });
    return Joined(rows);
}

// The rows of the schema rowset KIND under `restrictions` ("|" between them, NULL for an
// absent one); refused: it must fail as an invalid argument.
Result SchemaRows(IOpenRowset* session, const std::string& kind, const std::string& restrictions, bool refused) {
    static const std::map<std::string, GUID> kKinds = {{"TABLES", DBSCHEMA_TABLES},
                                                       {"COLUMNS", DBSCHEMA_COLUMNS},
                                                       {"INDEXES", DBSCHEMA_INDEXES},
                                                       {"PROVIDER_TYPES", DBSCHEMA_PROVIDER_TYPES}};
    std::vector<VARIANT> values;
    for (std::size_t from = 0, to = 0; !restrictions.empty() && from <= restrictions.size(); from = to + 1) {
        to = std::min(restrictions.find('|', from), restrictions.size());
        const std::string value = restrictions.substr(from, to - from);
        VARIANT& v = values.emplace_back();
        VariantInit(&v);
        if (value != "NULL") {
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocString(Utf8ToUtf16(value).c_str());
        }
    }
    CComPtr<IDBSchemaRowset> schema;
    EXPECT_EQ(session->QueryInterface(IID_IDBSchemaRowset, reinterpret_cast<void**>(&schema)), S_OK);
    CComPtr<IRowset> rowset;
    const HRESULT hr = schema->GetRowset(nullptr, kKinds.at(kind), static_cast<ULONG>(values.size()), values.data(),
                                         IID_IRowset, 0, nullptr, reinterpret_cast<IUnknown**>(&rowset));
    for (VARIANT& v : values) VariantClear(&v);
    EXPECT_EQ(hr, refused ? E_INVALIDARG : S_OK) << Utf16ToUtf8(LastErrorDescription());
    return hr == S_OK ? ReadRowsAsText(rowset) : Result{};
}

// The column definitions of one table, as the consumer receives and frees them, one a line:
// "auto" for an auto-increment column, its seed/step, "not null", "default TEXT"; `expect`:
// what GetTableDefinition answers.
std::string ReadDefinition(IOpenRowset* session, const std::u16string& table, HRESULT expect) {
    CComPtr<ITableCreation> creation;
    EXPECT_EQ(session->QueryInterface(IID_ITableCreation, reinterpret_cast<void**>(&creation)), S_OK);
    DBID id = DB_NULLID;
    id.eKind = DBKIND_NAME;
    id.uName.pwszName = const_cast<LPOLESTR>(table.c_str());
    DBORDINAL count = 99;
    DBCOLUMNDESC* descs = reinterpret_cast<DBCOLUMNDESC*>(1);
    EXPECT_EQ(creation->GetTableDefinition(&id, &count, &descs, nullptr, nullptr, nullptr, nullptr, nullptr), expect);
    std::string out;
    if (expect != S_OK) {
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(descs, nullptr);
        return out;
    }
    for (DBORDINAL i = 0; i < count; ++i) {
        bool identity = false, nullable = true;
        LONG seed = 0, step = 1;
        std::u16string defaultText;
        for (ULONG s = 0; s < descs[i].cPropertySets; ++s) {
            DBPROPSET& set = descs[i].rgPropertySets[s];
            for (ULONG p = 0; p < set.cProperties; ++p) {
                VARIANT& v = set.rgProperties[p].vValue;
                switch (set.rgProperties[p].dwPropertyID) {
                case DBPROP_COL_AUTOINCREMENT: identity = v.boolVal == VARIANT_TRUE; break;
                case DBPROP_COL_NULLABLE: nullable = v.boolVal == VARIANT_TRUE; break;
                case DBPROP_COL_SEED: seed = v.lVal; break;
                case DBPROP_COL_INCREMENT: step = v.lVal; break;
                case DBPROP_COL_DEFAULT: defaultText = v.bstrVal; break;
                }
                VariantClear(&v);
            }
            CoTaskMemFree(set.rgProperties);
        }
        CoTaskMemFree(descs[i].rgPropertySets);
        CoTaskMemFree(descs[i].pwszTypeName);
        CoTaskMemFree(descs[i].dbcid.uName.pwszName);
        out += std::string(identity ? "auto " : "") + std::to_string(seed) + "/" + std::to_string(step) +
               (nullable ? "" : " not null") + (defaultText.empty() ? "" : " default " + Utf16ToUtf8(defaultText)) +
               (i + 1 < count ? "\n" : "");
    }
    CoTaskMemFree(descs);
    return out;
}

class SqlScriptTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        m_transaction.Release();
        m_session.Release();
        CoUninitialize();
    }

    IOpenRowset* Session() {
        if (m_session) return m_session;
        if (!Exists(m_dir->Path("script.mdb"))) MakeDatabase(m_dir->Path("script.mdb"), "SELECT 1");
        m_session = OpenSession(m_dir->WPath("script.mdb"));
        return m_session;
    }

    ITransactionLocal* Transaction() {
        if (!m_transaction) {
            EXPECT_EQ(Session()->QueryInterface(IID_ITransactionLocal, reinterpret_cast<void**>(&m_transaction)), S_OK);
        }
        return m_transaction;
    }

    // The text lines of a record joined, without a separator, escapes replaced.
    static std::string Bytes(const Record& r) {
        std::string out;
        for (const std::string& line : r.text) out += Unescaped(line);
        return out;
    }

    // A line with $HERE and $OUTSIDE replaced by their folders' paths.
    std::string Placed(std::string line) const {
        const std::pair<std::string, std::string> names[] = {{"$HERE", m_dir->Path()}, {"$OUTSIDE", m_outside.Path()}};
        for (const auto& [name, path] : names)
            for (std::size_t at; (at = line.find(name)) != std::string::npos;) line.replace(at, name.size(), path);
        return line;
    }

    void Run(Record r) {
        r.directive = Placed(r.directive);
        for (std::string& line : r.text) line = Placed(line);
        const std::string sql = Joined(r.text);
        const std::u16string wide = Utf8ToUtf16(sql);
        std::string rest;
        if (Takes(r.directive, "sqlite", rest)) {
            ASSERT_FALSE(m_session && rest.empty()) << "sqlite records come before the engine opens the file";
            MakeDatabase(m_dir->Path(rest.empty() ? "script.mdb" : rest), sql.c_str());
        } else if (r.directive == "fresh") {
            m_transaction.Release();
            m_session.Release();
            m_dir.reset();
            m_dir.emplace();
        } else if (Takes(r.directive, "file", rest)) {
            if (rest.ends_with('/')) std::filesystem::create_directories(m_dir->Path(rest));
            else WriteFile(m_dir->Path(rest), Bytes(r));
        } else if (Takes(r.directive, "link", rest)) {
            const std::size_t space = rest.find(' ');
            ASSERT_EQ(::symlink(rest.substr(space + 1).c_str(), m_dir->Path(rest.substr(0, space)).c_str()), 0) << rest;
        } else if (Takes(r.directive, "chmod", rest)) {
            const std::size_t space = rest.find(' ');
            ASSERT_EQ(
                ::chmod(m_dir->Path(rest.substr(0, space)).c_str(), std::stoi(rest.substr(space + 1), nullptr, 8)), 0);
        } else if (Takes(r.directive, "folder", rest)) {
            m_transaction.Release();
            m_session.Release();
            const std::string props = rest.empty() ? "text;HDR=YES;FMT=Delimited" : rest;
            m_session = OpenSession(m_dir->WPath(), Utf8ToUtf16(sql + "Extended Properties=\"" + props + "\""));
            ASSERT_TRUE(m_session) << Utf16ToUtf8(LastErrorDescription());
        } else if (Takes(r.directive, "contents", rest)) {
            EXPECT_EQ(ReadFile(m_dir->Path(rest)), Bytes(r)) << rest;
        } else if (Takes(r.directive, "absent", rest)) {
            EXPECT_FALSE(Exists(m_dir->Path(rest))) << rest;
        } else if (Takes(r.directive, "csv", rest)) {
            std::istringstream words(rest);
            std::string name, encoding = "utf-8-sig", delimiter = ",";
            words >> name >> encoding >> delimiter;
            EXPECT_EQ(PythonReads(m_dir->Path(name), encoding, Unescaped(delimiter)), Joined(r.text) + "\n") << name;
        } else if (Takes(r.directive, "statement ok", rest)) {
            DBROWCOUNT affected = 0;
            EXPECT_EQ(RunSql(Session(), wide.c_str(), nullptr, &affected), S_OK)
                << sql << ": " << Utf16ToUtf8(LastErrorDescription());
            if (Takes(rest, "count", rest)) {
                EXPECT_EQ(affected, std::stoll(rest)) << sql;
            }
        } else if (Takes(r.directive, "statement error", rest) || Takes(r.directive, "statement fails", rest)) {
            const HRESULT hr = RunSql(Session(), wide.c_str());
            EXPECT_TRUE(FAILED(hr)) << sql;
            if (r.directive.starts_with("statement fails")) {
                static const std::map<std::string, HRESULT> kCodes = {{"NOTABLE", DB_E_NOTABLE},
                                                                      {"ERRORSINCOMMAND", DB_E_ERRORSINCOMMAND},
                                                                      {"INTEGRITYVIOLATION", DB_E_INTEGRITYVIOLATION},
                                                                      {"MULTIPLESTATEMENTS", DB_E_MULTIPLESTATEMENTS}};
                const std::string code = rest.substr(0, rest.find(' '));
                rest = rest.size() > code.size() ? rest.substr(code.size() + 1) : "";
                EXPECT_EQ(hr, kCodes.at(code)) << sql;
            }
            const std::string message = Utf16ToUtf8(LastErrorDescription());
            for (std::size_t from = 0, to = 0; from <= rest.size(); from = to + 3) {
                to = std::min(rest.find(" | ", from), rest.size());
                EXPECT_NE(message.find(rest.substr(from, to - from)), std::string::npos) << sql << ": " << message;
            }
        } else if (Takes(r.directive, "query", rest)) {
            EXPECT_EQ(Lines(QueryText(Session(), wide.c_str()), rest), Joined(r.expected)) << sql;
        } else if (Takes(r.directive, "schema error", rest)) {
            SchemaRows(Session(), rest, sql, true);
        } else if (Takes(r.directive, "schema", rest)) {
            std::istringstream words(rest);
            std::string kind;
            words >> kind;
            std::vector<std::string> shown;
            for (std::string word; words >> word;)
                if (word != "names" && word != "types") shown.push_back(word);
            EXPECT_EQ(Lines(SchemaRows(Session(), kind, sql, false), rest, shown), Joined(r.expected)) << sql;
        } else if (Takes(r.directive, "definition missing", rest)) {
            ReadDefinition(Session(), Utf8ToUtf16(rest), DB_E_NOTABLE);
            EXPECT_NE(Utf16ToUtf8(LastErrorDescription()).find(rest), std::string::npos);
        } else if (Takes(r.directive, "definition", rest)) {
            EXPECT_EQ(ReadDefinition(Session(), Utf8ToUtf16(rest), S_OK), Joined(r.expected)) << rest;
        } else if (r.directive == "elsewhere") {
            CComPtr<IOpenRowset> other = OpenSession(m_dir->WPath("script.mdb"));
            EXPECT_EQ(RunSql(other, wide.c_str()), S_OK) << sql << ": " << Utf16ToUtf8(LastErrorDescription());
        } else if (Takes(r.directive, "begin", rest)) {
            ULONG level = 0;
            ASSERT_EQ(Transaction()->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, &level), S_OK);
            if (!rest.empty()) {
                EXPECT_EQ(level, std::stoul(rest));
            }
        } else if (Takes(r.directive, "commit", rest)) {
            const HRESULT hr = Transaction()->Commit(FALSE, XACTTC_SYNC, 0);
            if (rest == "none") {
                EXPECT_EQ(hr, XACT_E_NOTRANSACTION);
            } else {
                ASSERT_EQ(hr == S_OK, rest != "fails") << std::hex << hr;
            }
        } else if (Takes(r.directive, "rollback", rest)) {
            const HRESULT hr = Transaction()->Abort(nullptr, FALSE, FALSE);
            ASSERT_EQ(hr, rest == "none" ? XACT_E_NOTRANSACTION : S_OK);
        } else if (r.directive == "rewrite") {
            auto rewritten = orv::engine::RewriteSql(sql);
            EXPECT_FALSE(rewritten.error) << sql << ": " << rewritten.error.value_or("");
            EXPECT_EQ(rewritten.sql, Joined(r.expected)) << sql;
        } else if (r.directive == "rewrite unchanged" || r.directive == "rewrite flagged") {
            const bool flagged = r.directive == "rewrite flagged";
            for (const std::string& each : r.text) {
                EXPECT_EQ(orv::engine::MayNeedRewrite(each), flagged) << each;
                if (!flagged) {
                    EXPECT_EQ(orv::engine::RewriteSql(each).sql, each);
                }
            }
        } else if (Takes(r.directive, "rewrite error", rest)) {
            auto rewritten = orv::engine::RewriteSql(sql);
            ASSERT_TRUE(rewritten.error) << sql;
            EXPECT_NE(rewritten.error->find(rest), std::string::npos) << *rewritten.error;
        } else {
            ADD_FAILURE() << "unknown directive: " << r.directive;
        }
    }

    std::optional<TempDir> m_dir{std::in_place};
    TempDir m_outside;
    CComPtr<IOpenRowset> m_session;
    CComPtr<ITransactionLocal> m_transaction;
};

TEST_P(SqlScriptTest, Runs) {
    const std::string path = std::string(ORV_SQL_SCRIPTS) + "/" + GetParam() + ".test";
    const std::vector<Record> records = ReadScript(path);
    ASSERT_FALSE(records.empty()) << path;
    for (const Record& r : records) {
        SCOPED_TRACE(GetParam() + ".test:" + std::to_string(r.line));
        Run(r);
        if (HasFatalFailure()) return;
    }
}

std::vector<std::string> Scripts() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(ORV_SQL_SCRIPTS))
        if (entry.path().extension() == ".test") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(Scripts()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
