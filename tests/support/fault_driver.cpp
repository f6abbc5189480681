// Test support: orv_fault_driver, a host program that does one write through the exported
// classes, so that a test can run it under the fault shim (fault_shim.c) and look at what
// a failed call leaves behind.
//
//   orv_fault_driver list                       the scenarios, one a line
//   orv_fault_driver prepare <scenario> <dir>   makes the starting files in <dir>
//   orv_fault_driver run <scenario> <dir>       does the write; prints "ok", or "error: "
//                                               and the library's error text
//   orv_fault_driver open <scenario> <dir>      opens the scenario's store and writes nothing:
//                                               what an open cleans up, it cleans up
//
// Exit status: 0 success, 1 the scenario failed with an error text, 2 a usage error or a
// starting state that could not be made. Anything else (a signal) is a crash.
//
// A scenario is one entry of the table at the end of the scenarios: a name, a sentence,
// a function that makes its starting files, and its write (a function, or statements);
// the fault test sweeps every scenario this program lists. One thread.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "support/files.h"

namespace {

using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

// What a scenario's write came to: success, or the text the library gave for its failure.
struct Outcome {
    bool ok = true;
    std::string error;
};

Outcome Failed(const OrvOleDbErrorInfo& object, const char* doing) {
    std::string text = Utf16ToUtf8(object.GetErrorText().Str());
    return {false, std::string(doing) + ": " + (text.empty() ? "(no error text)" : text)};
}

std::string PathIn(const std::string& dir, const char* name) { return dir + "/" + name; }

CComBSTR InitOf(const std::string& path) { return CComBSTR(orv::test::InitFor(Utf8ToUtf16(path)).c_str()); }
CComBSTR DatabaseInit(const std::string& dir) { return InitOf(PathIn(dir, "plant.mdb")); }

// ---- Scenarios -----------------------------------------------------------------------------

// A database file with rows in it, as the writing scenarios start from.
void PrepareDatabase(const std::string& dir) {
    orv::test::MakeDatabase(PathIn(dir, "plant.mdb"),
                            "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT);"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)"
                            "INSERT INTO t SELECT i, printf('first rows %d %.300c', i, 'a') FROM n;");
}

// Rows in one transaction: enough of them to touch several pages, so that the journal and
// the file both take many writes before the commit.
Outcome InsertInTransaction(const std::string& dir) {
    OrvOleDbConnection connection;
    if (connection.OpenFromInitializationString(DatabaseInit(dir), false) != S_OK) return Failed(connection, "open");
    if (!connection.StartTransaction()) return Failed(connection, "start transaction");
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&connection);
    insert.SetTable(u"t");
    for (int i = 0; i < 30; ++i) {
        insert.AddColumn(u"note", u"'added row %d %s'", i, std::u16string(400, u'b').c_str());
        if (!insert.Insert()) {
            Outcome failed = Failed(insert, "insert");
            connection.Rollback();
            return failed;
        }
    }
    if (!connection.Commit()) return Failed(connection, "commit");
    return {};
}

// A folder that already holds a database: the new file must appear beside it, whole.
Outcome CreateFile(const std::string& dir) {
    OrvOleDbErrorInfo error;
    const std::string path = PathIn(dir, "new.mdb");
    HRESULT hr = OrvOleDbConnection::CreateMdbFile(InitOf(path), CComBSTR(Utf8ToUtf16(path).c_str()), error);
    if (hr != S_OK) return Failed(error, "create");
    return {};
}

// A database with free pages (half its rows deleted), so that compaction changes it.
void PrepareSparseDatabase(const std::string& dir) {
    orv::test::MakeDatabase(PathIn(dir, "plant.mdb"),
                            "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT);"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)"
                            "INSERT INTO t SELECT i, printf('row %d %.200c', i, 'd') FROM n;"
                            "DELETE FROM t WHERE id % 2 = 0;");
}

Outcome Compact(const std::string& dir) {
    OrvOleDbConnection connection;
    if (connection.OpenFromInitializationString(DatabaseInit(dir), false) != S_OK) return Failed(connection, "open");
    if (connection.CompactMdb() != S_OK) return Failed(connection, "compact");
    return {};
}

// Runs each statement on a connection to `init`; the first failure, or success.
Outcome RunStatements(const CComBSTR& init, const std::vector<const char16_t*>& statements, bool transaction) {
    OrvOleDbConnection connection;
    if (connection.OpenFromInitializationString(init, false) != S_OK) return Failed(connection, "open");
    if (transaction && !connection.StartTransaction()) return Failed(connection, "start transaction");
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    for (const char16_t* sql : statements) {
        command.SetCommandText(CString(sql));
        if (command.Execute() != OrvOleDbCommand::dbTrue) {
            Outcome failed = Failed(command, "statement");
            if (transaction) connection.Rollback();
            return failed;
        }
        command.Close();
    }
    if (transaction && !connection.Commit()) return Failed(connection, "commit");
    return {};
}

// One statement without a transaction: SQLite makes it one of its own. A value larger than
// a page, so that it spans overflow pages.
Outcome InsertAutocommit(const std::string& dir) {
    const std::u16string sql = u"INSERT INTO t(note) VALUES ('" + std::u16string(20000, u'c') + u"')";
    return RunStatements(DatabaseInit(dir), {sql.c_str()}, false);
}

// A folder of text files: stock.csv with some records.
CComBSTR TextInit(const std::string& dir) {
    return CComBSTR(
        orv::test::InitFor(Utf8ToUtf16(dir), u"Extended Properties=\"text;HDR=YES;FMT=Delimited\"").c_str());
}

void PrepareTextFolder(const std::string& dir) {
    std::string text = "part,qty,note\r\n";
    for (int i = 1; i <= 200; ++i)
        text += "part " + std::to_string(i) + "," + std::to_string(i) + ",\"a, quoted note\"\r\n";
    orv::test::WriteFile(PathIn(dir, "stock.csv"), text);
}

// A workbook made through the library: a sheet with a header and some rows.
CComBSTR WorkbookInit(const std::string& dir) {
    return CComBSTR(
        orv::test::InitFor(Utf8ToUtf16(PathIn(dir, "book.xlsx")), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\"")
            .c_str());
}

void PrepareWorkbook(const std::string& dir) {
    Outcome made = RunStatements(
        WorkbookInit(dir),
        {u"CREATE TABLE Stock (part TEXT, qty INTEGER)", u"INSERT INTO [Stock$] (part, qty) VALUES ('bolt', 10)",
         u"INSERT INTO [Stock$] (part, qty) VALUES ('nut', 25)"},
        false);
    if (!made.ok) throw std::runtime_error(made.error);
}

// A scenario makes its starting files with `prepare`; its write is `run`, or else its
// statements on a connection to `init` (in one transaction when `transaction` is set).
struct Scenario {
    const char* name;
    const char* what;
    void (*prepare)(const std::string& dir);
    CComBSTR (*init)(const std::string& dir);  // the store's, also for "open"
    Outcome (*run)(const std::string& dir);
    std::vector<const char16_t*> statements;
    bool transaction = false;
};

// New scenarios (writes to text files, to workbooks) go here: a starting state and a write.
const Scenario kScenarios[] = {
    {"insert", "30 rows inserted in one transaction, then committed", PrepareDatabase, DatabaseInit,
     InsertInTransaction},
    {"insert-autocommit", "one row with a 20,000-character value, without a transaction", PrepareDatabase, DatabaseInit,
     InsertAutocommit},
    {"create", "CreateMdbFile of new.mdb beside an existing database", PrepareDatabase, DatabaseInit, CreateFile},
    {"compact", "CompactMdb of a database with free pages", PrepareSparseDatabase, DatabaseInit, Compact},
    {"text-append",
     "two records appended to a CSV file in one transaction",
     PrepareTextFolder,
     TextInit,
     nullptr,
     {u"INSERT INTO [stock.csv] (part, qty, note) VALUES ('new', 7, 'x')",
      u"INSERT INTO [stock.csv] (part, qty, note) VALUES ('newer', 8, 'y')"},
     true},
    {"text-rewrite",
     "an UPDATE that rewrites a CSV file",
     PrepareTextFolder,
     TextInit,
     nullptr,
     {u"UPDATE [stock.csv] SET qty = qty + 1 WHERE qty > 100"}},
    {"workbook-write",
     "a row inserted and a cell updated in a workbook in one transaction",
     PrepareWorkbook,
     WorkbookInit,
     nullptr,
     {u"INSERT INTO [Stock$] (part, qty) VALUES ('washer', 5)", u"UPDATE [Stock$] SET qty = 11 WHERE part = 'bolt'"},
     true},
    {"workbook-create-sheet",
     "CREATE TABLE adding a sheet to a workbook",
     PrepareWorkbook,
     WorkbookInit,
     nullptr,
     {u"CREATE TABLE Orders (id INTEGER, due DATETIME)"}},
};

const Scenario* Find(const char* name) {
    for (const Scenario& s : kScenarios)
        if (std::strcmp(s.name, name) == 0) return &s;
    return nullptr;
}

int Usage() {
    std::fprintf(stderr, "usage: orv_fault_driver list | prepare|run|open <scenario> <dir>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    if (command == "list" && argc == 2) {
        for (const Scenario& s : kScenarios) std::printf("%s\t%s\n", s.name, s.what);
    } else if ((command == "prepare" || command == "run" || command == "open") && argc == 4) {
        const Scenario* scenario = Find(argv[2]);
        if (!scenario) {
            std::fprintf(stderr, "orv_fault_driver: no scenario '%s' (see: orv_fault_driver list)\n", argv[2]);
            status = 2;
        } else if (command == "prepare") {
            try {
                scenario->prepare(argv[3]);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "orv_fault_driver: cannot prepare '%s': %s\n", argv[2], e.what());
                status = 2;
            }
        } else {
            const std::string dir = argv[3];
            Outcome outcome = command == "open" ? RunStatements(scenario->init(dir), {}, false)
                              : scenario->run
                                  ? scenario->run(dir)
                                  : RunStatements(scenario->init(dir), scenario->statements, scenario->transaction);
            if (outcome.ok) std::puts("ok");
            else std::printf("error: %s\n", outcome.error.c_str());
            status = outcome.ok ? 0 : 1;
        }
    } else {
        status = Usage();
    }
    std::fflush(stdout);
    CoUninitialize();
    return status;
}
