// Reading a genuine Access file: every row of every table of the Jet 3 test file, every
// field as text through OrvOleDbCommand (FieldAsString, GetBlobData for long values),
// against Debian's mdb-export of every table in the same run (its whole output read
// through a pipe and discarded). Prints both in rows per second and the ratio; best of
// five each.
//
//   bench_access [FILE]    default: the shared test file traders.mdb
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "OrvOleDb.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<std::string> Tables(const std::string& file) {
    std::vector<std::string> tables;
    FILE* pipe = ::popen(("mdb-tables -1 " + Quote(file)).c_str(), "r");
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        std::string name = line;
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (!name.empty()) tables.push_back(name);
    }
    if (pipe) ::pclose(pipe);
    return tables;
}

// mdb-export of every table, its output read and dropped.
double Reference(const std::string& file, const std::vector<std::string>& tables) {
    const auto start = Clock::now();
    std::vector<char> buffer(1 << 16);
    for (const std::string& table : tables) {
        FILE* pipe = ::popen(("mdb-export -H " + Quote(file) + " " + Quote(table)).c_str(), "r");
        while (std::fread(buffer.data(), 1, buffer.size(), pipe) > 0) {}
        ::pclose(pipe);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Library(const std::string& file, const std::vector<std::string>& tables, long& rows) {
    const auto start = Clock::now();
    rows = 0;
    OrvOleDbConnection connection;
    const std::u16string init =
        u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(file) + u";";
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
        std::exit(1);
    }
    std::size_t characters = 0;
    for (const std::string& table : tables) {
        OrvOleDbCommand command;
        command.SetConnection(&connection);
        command.SetCommandText(CString(orv::platform::Utf8ToUtf16("SELECT * FROM [" + table + "]").c_str()));
        if (command.Execute() != OrvOleDbCommand::dbTrue) {
            std::fprintf(stderr, "query failed: %s\n",
                         orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
            std::exit(1);
        }
        const auto columns = command.GetColumnCount();
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
            ++rows;
            for (unsigned __int64 c = 1; c <= columns; ++c) {
                if (command.IsBlob(c) == OrvOleDbCommand::dbTrue) {
                    CHeapPtr<unsigned char> data;
                    characters += command.GetBlobData(c, data);
                } else {
                    characters += static_cast<std::size_t>(command.FieldAsString(c).GetLength());
                }
            }
        }
    }
    if (characters == 0) std::exit(1);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string file = argc > 1 ? argv[1] : std::string(ORV_SOURCE_DIR "/../shared/fixtures/access/traders.mdb");
    if (const char* env = std::getenv("ORV_ACCESS_FIXTURES"); argc <= 1 && env && *env)
        file = std::string(env) + "/traders.mdb";
    if (!std::filesystem::exists(file) || std::system("command -v mdb-export >/dev/null") != 0) {
        std::printf("bench_access: skipped (needs %s and mdbtools)\n", file.c_str());
        return 0;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::vector<std::string> tables = Tables(file);
    double reference = 1e9, library = 1e9;
    long rows = 0;
    for (int run = 0; run < 5; ++run) {
        reference = std::min(reference, Reference(file, tables));
        library = std::min(library, Library(file, tables, rows));
    }
    std::printf("Every row of every table of %s (%zu tables), every field as text; best of 5\n", file.c_str(),
                tables.size());
    std::printf("  mdb-export (reference)  %8ld rows  %10.0f rows/s\n", rows, rows / reference);
    std::printf("  library                 %8ld rows  %10.0f rows/s\n", rows, rows / library);
    std::printf("  ratio library / mdb-export: %.2f\n", reference / library);
    CoUninitialize();
    return 0;
}
