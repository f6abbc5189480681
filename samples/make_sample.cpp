// Build tool: makes the sample database file from its SQL text, through the library, so
// that the text is written in the dialect hosts use (COUNTER(seed, step), MEMO, ...).
//
//   make_sample SQL_FILE OUTPUT_FILE
//
// Statements end with ';' at the end of a line. They run in a new file beside the output,
// which then replaces the output in one rename, so an interrupted build never leaves a
// half-made sample behind.
#include <cstdio>
#include <fstream>
#include <string>

#include "OrvOleDb.h"

namespace {

std::string Utf8(const CString& text) { return orv::platform::Utf16ToUtf8(text.Str()); }

bool Run(OrvOleDbConnection& connection, const std::string& sql) {
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(orv::platform::Utf8ToUtf16(sql)));
    if (command.Execute() == OrvOleDbCommand::dbTrue) return true;
    std::fprintf(stderr, "make_sample: %s\n", Utf8(command.GetErrorInfo(true)).c_str());
    return false;
}

bool Build(const char* sqlFile, const std::string& path) {
    std::ifstream in(sqlFile, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "make_sample: cannot read %s\n", sqlFile);
        return false;
    }
    CComBSTR init;
    const std::u16string widePath = orv::platform::Utf8ToUtf16(path);
    OrvOleDbHelper::FormatConnectString(init, widePath.c_str(), nullptr, nullptr, ProviderName, MdbEngineType, nullptr);
    OrvOleDbErrorInfo error;
    if (OrvOleDbConnection::CreateMdbFile(init, CComBSTR(widePath.c_str()), error) != S_OK) {
        std::fprintf(stderr, "make_sample: %s\n", Utf8(error.GetErrorText()).c_str());
        return false;
    }
    OrvOleDbConnection connection;
    if (connection.OpenFromInitializationString(init, false) != S_OK) {
        std::fprintf(stderr, "make_sample: %s\n", Utf8(connection.GetErrorText()).c_str());
        return false;
    }
    bool ok = connection.StartTransaction();
    std::string statement, line;
    while (ok && std::getline(in, line)) {
        if (line.rfind("--", 0) == 0) continue;
        statement += line + "\n";
        std::size_t end = line.find_last_not_of(" \t\r");
        if (end != std::string::npos && line[end] == ';') {
            statement.erase(statement.find_last_of(';'));
            ok = Run(connection, statement);
            statement.clear();
        }
    }
    if (ok && statement.find_first_not_of(" \t\r\n") != std::string::npos) ok = Run(connection, statement);
    ok = ok && connection.Commit();
    connection.Close();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_sample SQL_FILE OUTPUT_FILE\n");
        return 2;
    }
    const std::string output = argv[2];
    const std::string partial = output + ".partial";
    std::remove(partial.c_str());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool ok = Build(argv[1], partial);
    CoUninitialize();
    if (!ok) {
        std::remove(partial.c_str());
        return 1;
    }
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::perror("make_sample: rename");
        return 1;
    }
    return 0;
}
