// Reading every cell of a workbook sheet: the library (SELECT * through OrvOleDbCommand,
// every field as UTF-16 text) against openpyxl's read-only mode on the same file, in the
// same run. The workbook is made by openpyxl: 100,000 rows of six columns (an integer, two
// texts, a number, a date, a text with gaps).
//
//   bench_xlsx [rows]        default 100000
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "OrvOleDb.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kMake = R"(
import sys, datetime, openpyxl
rows = int(sys.argv[2])
wb = openpyxl.Workbook(write_only=True)
ws = wb.create_sheet("Data")
ws.append(["id", "name", "city", "price", "added", "note"])
cities = ["Lyon", "Graz", "Porto", "Turku", "Cork"]
base = datetime.datetime(2020, 1, 1)
for i in range(1, rows + 1):
    ws.append([i, "part %d" % i, cities[i % 5], i * 0.25, base + datetime.timedelta(minutes=i),
               None if i % 3 == 0 else "note %d" % (i % 1000)])
wb.save(sys.argv[1])
)";

constexpr const char* kRead = R"(
import sys, time, resource, openpyxl
start = time.perf_counter()
wb = openpyxl.load_workbook(sys.argv[1], read_only=True)
rows = 0
for row in wb["Data"].iter_rows(min_row=2, values_only=True):
    for v in row:
        s = "" if v is None else str(v)
    rows += 1
elapsed = time.perf_counter() - start
print(rows, elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
)";

std::string Run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    ::pclose(pipe);
    return output;
}

void WriteText(const std::string& path, const char* text) {
    std::ofstream out(path);
    out << text;
}

long PeakKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
    const std::string dir = std::filesystem::temp_directory_path() / "orv-bench-xlsx";
    std::filesystem::create_directories(dir);
    const std::string book = dir + "/big.xlsx";
    WriteText(dir + "/make.py", kMake);
    WriteText(dir + "/read.py", kRead);
    std::printf("bench_xlsx: every cell of a %ld-row, 6-column sheet\n", rows);
    Run("/usr/bin/python3 " + dir + "/make.py " + book + " " + std::to_string(rows));
    if (!std::filesystem::exists(book)) {
        std::printf("the workbook could not be made (is python3-openpyxl installed?)\n");
        return 1;
    }
    std::printf("  file: %.1f MB\n", std::filesystem::file_size(book) / 1048576.0);

    long referenceRows = 0, referenceKb = 0;
    double reference = 0;
    std::sscanf(Run("/usr/bin/python3 " + dir + "/read.py " + book).c_str(), "%ld %lf %ld", &referenceRows, &reference,
                &referenceKb);

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const long before = PeakKilobytes();
    auto start = Clock::now();
    long libraryRows = 0;
    std::size_t characters = 0;
    {
        OrvOleDbConnection connection;
        std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(book) +
                              u";Extended Properties=\"Excel 12.0 Xml;HDR=YES\"";
        if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
            std::printf("open failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
            return 1;
        }
        OrvOleDbCommand command;
        command.SetConnection(&connection);
        command.SetCommandText(CString(u"SELECT * FROM [Data$]"));
        if (command.Execute() != OrvOleDbCommand::dbTrue) {
            std::printf("query failed: %s\n", orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
            return 1;
        }
        const DBORDINAL columns = command.GetColumnCount();
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
            for (DBORDINAL i = 1; i <= columns; ++i) characters += command.FieldAsString(i).GetLength();
            ++libraryRows;
        }
    }
    const double library = std::chrono::duration<double>(Clock::now() - start).count();
    const long peak = PeakKilobytes();
    CoUninitialize();

    std::printf("  openpyxl read-only: %ld rows in %.2f s = %.0f rows/s, peak memory %.0f MB\n", referenceRows, reference,
                referenceRows / reference, referenceKb / 1024.0);
    std::printf("  library:            %ld rows in %.2f s = %.0f rows/s, peak memory %.0f MB (%.0f MB before)\n",
                libraryRows, library, libraryRows / library, peak / 1024.0, before / 1024.0);
    std::printf("  ratio library / openpyxl: %.1fx (aim: at least 5x)\n", (libraryRows / library) / (referenceRows / reference));
    std::printf("  (%zu characters read)\n", characters);
    std::filesystem::remove_all(dir);
    return 0;
}
