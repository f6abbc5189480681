// A small host program: creates a database file, writes rows with SQL, reads them back
// both ways and shows what a failure looks like. Run it with a path to keep the file:
//
//   example_query [path]        default: a file in the temporary folder, removed at the end
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "OrvOleDb.h"

namespace {

std::string Utf8(const CString& text) { return orv::platform::Utf16ToUtf8(text.Str()); }

bool Run(OrvOleDbCommand& command, const char16_t* sql) {
    command.SetCommandText(CString(sql));
    if (command.Execute() == OrvOleDbCommand::dbTrue) return true;
    std::printf("failed:\n%s\n", Utf8(command.GetErrorInfo(true)).c_str());
    return false;
}

void PrintRow(OrvOleDbCommand& command) {
    for (unsigned __int64 c = 1; c <= command.GetColumnCount(); ++c) {
        CString value = command.IsNull(c) == OrvOleDbCommand::dbTrue ? CString(u"NULL") : command.FieldAsStringEx(c);
        std::printf("%-22s", Utf8(value).c_str());
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const bool keep = argc > 1;
    std::string path = keep ? argv[1] : (std::filesystem::temp_directory_path() / "orvoledb-example.mdb").string();
    std::filesystem::remove(path);
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (f) std::fclose(f);
    }  // an empty file is an empty database

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(path) + u";";
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::printf("cannot open %s:\n%s\n", path.c_str(), Utf8(connection.GetErrorText()).c_str());
        return 1;
    }
    CString name;
    connection.GetDatasource(name);
    std::printf("Opened %s (%s)\n\n", Utf8(name).c_str(), connection.IsReadOnly() ? "read-only" : "read/write");

    OrvOleDbCommand command;
    command.SetConnection(&connection);
    connection.StartTransaction();
    bool ok = Run(command,
                  u"CREATE TABLE parts (id INTEGER PRIMARY KEY, name TEXT(40), price CURRENCY, "
                  u"added DATETIME, in_stock YESNO)") &&
              Run(command,
                  u"INSERT INTO parts (name, price, added, in_stock) VALUES "
                  u"('bolt', 0.25, '2024-03-01 09:30:00', 1), ('nut', 0.1, '2024-03-02', 1), "
                  u"('washer', 0.05, '2024-03-05 14:00:00', 0), ('bearing', 12.5, '2024-04-11', 1)");
    std::printf("Inserted %lld rows in a transaction\n\n", static_cast<long long>(command.GetRowsAffected()));
    connection.Commit();

    if (ok && Run(command, u"SELECT id, name, price, added, in_stock FROM parts ORDER BY price DESC")) {
        for (unsigned __int64 c = 1; c <= command.GetColumnCount(); ++c)
            std::printf("%-22s", Utf8(command.GetColumnName(c)).c_str());
        std::printf("\n");
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) PrintRow(command);
        std::printf("\nand backwards from the last row:\n");
        for (auto s = command.FetchLast(); s == OrvOleDbCommand::dbTrue; s = command.FetchPrev()) PrintRow(command);
    }

    std::printf("\nA statement that names a missing table:\n");
    Run(command, u"SELECT * FROM orders");

    command.Close();
    connection.Close();
    CoUninitialize();
    if (!keep) std::filesystem::remove(path);
    return ok ? 0 : 1;
}
