// Scanning a large CSV file: the library (a text folder, SELECT COUNT(*), SUM(qty),
// AVG(price) through OrvOleDbCommand) against the floor, a minimal hand-written pass over
// the same file (big blocks, fields split with RFC 4180 quotes, the same two columns
// summed). Prints both in MB/s, the ratio, and the peak resident memory (VmHWM) of the
// library's scan, measured in a child process of its own. Then the cost of a change that
// rewrites the file (an UPDATE of one record) against copying the file (read, write,
// fsync, rename): the floor of any rewrite.
//
//   bench_csv [rows]        default 1,000,000 (about 100 MB)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "sample_csv.h"

namespace {

using Clock = std::chrono::steady_clock;

// The floor: read the file in 1 MiB blocks and split records by hand.
double Floor(const std::string& path, long& rows, double& sumQty, double& sumPrice) {
    auto start = Clock::now();
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> block(1 << 20);
    std::string field;
    int column = 0;
    bool quoted = false, afterQuote = false, header = true;
    rows = 0;
    sumQty = sumPrice = 0;
    auto endField = [&] {
        if (!header) {
            if (column == 2) {
                long v = 0;
                std::from_chars(field.data(), field.data() + field.size(), v);
                sumQty += double(v);
            } else if (column == 3) {
                double v = 0;
                std::from_chars(field.data(), field.data() + field.size(), v);
                sumPrice += v;
            }
        }
        field.clear();
        ++column;
    };
    ssize_t n;
    while ((n = ::read(fd, block.data(), block.size())) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const char c = block[std::size_t(i)];
            if (quoted) {
                if (c == '"') quoted = false, afterQuote = true;
                else if (column == 2 || column == 3) field += c;
                continue;
            }
            if (c == '"') {
                if (afterQuote) field += '"';  // a doubled quote
                quoted = true;
                afterQuote = false;
                continue;
            }
            afterQuote = false;
            if (c == ',') {
                endField();
            } else if (c == '\n') {
                endField();
                if (!header) ++rows;
                header = false;
                column = 0;
            } else if (c != '\r' && (column == 2 || column == 3)) {
                field += c;  // only the two summed columns are kept
            }
        }
    }
    ::close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Library(const std::string& folder, long& rows, double& sumQty, double& avgPrice) {
    auto start = Clock::now();
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(folder) +
                          u";Extended Properties=\"text;HDR=YES;FMT=Delimited\"";
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(u"SELECT COUNT(*), SUM(qty), AVG(price) FROM [big.csv]"));
    if (command.Execute() != OrvOleDbCommand::dbTrue || command.FetchNext() != OrvOleDbCommand::dbTrue) {
        std::fprintf(stderr, "query failed: %s\n",
                     orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    rows = std::atol(orv::platform::Utf16ToUtf8(command.FieldAsString(1).Str()).c_str());
    sumQty = std::atof(orv::platform::Utf16ToUtf8(command.FieldAsString(2).Str()).c_str());
    avgPrice = std::atof(orv::platform::Utf16ToUtf8(command.FieldAsString(3).Str()).c_str());
    command.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The floor of a rewrite: the file copied beside itself in 1 MiB blocks, synced and
// renamed over itself.
double CopyFile(const std::string& path) {
    auto start = Clock::now();
    const std::string temporary = path + ".copy";
    int in = ::open(path.c_str(), O_RDONLY);
    int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(1 << 20);
    ssize_t n;
    while ((n = ::read(in, block.data(), block.size())) > 0)
        if (::write(out, block.data(), std::size_t(n)) != n) std::exit(1);
    ::fsync(out);
    ::close(out);
    ::close(in);
    std::rename(temporary.c_str(), path.c_str());
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double LibraryUpdate(const std::string& folder, long id) {
    auto start = Clock::now();
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(folder) +
                          u";Extended Properties=\"text;HDR=YES;FMT=Delimited\"";
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) std::exit(1);
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(
        orv::platform::Utf8ToUtf16("UPDATE [big.csv] SET qty = qty + 1 WHERE id = " + std::to_string(id)).c_str()));
    if (command.Execute() != OrvOleDbCommand::dbTrue || command.GetRowsAffected() != 1) {
        std::fprintf(stderr, "update failed: %s\n",
                     orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    command.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long VmHwmKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// The library's scan in a child process, which reports its peak resident memory.
long LibraryPeakKb(const std::string& folder) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        long rows = 0;
        double qty = 0, price = 0;
        Library(folder, rows, qty, price);
        long peak = VmHwmKb();
        ssize_t ignored = ::write(pipeFds[1], &peak, sizeof peak);
        (void)ignored;
        _exit(0);
    }
    ::close(pipeFds[1]);
    long peak = -1;
    if (::read(pipeFds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
    ::close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-csv";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::string path = dir + "/big.csv";
    MakeFile(path, count);
    const double mb = double(std::filesystem::file_size(path)) / 1e6;
    std::printf("bench_csv: %ld rows, %.1f MB (id, name, qty, price, date, note)\n", count, mb);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    long floorRows = 0, libRows = 0;
    double floorQty = 0, floorPrice = 0, libQty = 0, libAvg = 0;
    double floorTime = 1e9, libTime = 1e9;
    for (int run = 0; run < 3; ++run) {  // best of three, each; the file stays in the page cache
        floorTime = std::min(floorTime, Floor(path, floorRows, floorQty, floorPrice));
        libTime = std::min(libTime, Library(dir, libRows, libQty, libAvg));
    }
    if (floorRows != libRows || floorQty != libQty || std::abs(floorPrice / floorRows - libAvg) > 1e-6 * libAvg)
        std::printf("  MISMATCH: floor %ld rows, qty %.0f, avg %.6f; library %ld rows, qty %.0f, avg %.6f\n", floorRows,
                    floorQty, floorPrice / floorRows, libRows, libQty, libAvg);
    std::printf("  hand-written pass (floor): %8.1f MB/s (%.3f s)\n", mb / floorTime, floorTime);
    std::printf("  library query:             %8.1f MB/s (%.3f s)\n", mb / libTime, libTime);
    std::printf("  ratio library/floor: %.2f\n", floorTime / libTime);
    std::printf("  peak resident memory (VmHWM) of the library's scan: %ld KiB\n", LibraryPeakKb(dir));

    double copyTime = 1e9, updateTime = 1e9;
    for (int run = 0; run < 3; ++run) {
        copyTime = std::min(copyTime, CopyFile(path));
        updateTime = std::min(updateTime, LibraryUpdate(dir, count / 2 + run));
    }
    std::printf("  rewrite: copying the file  %8.1f MB/s (%.3f s)\n", mb / copyTime, copyTime);
    std::printf("  rewrite: UPDATE of one record %5.1f MB/s (%.3f s), ratio %.2f\n", mb / updateTime, updateTime,
                copyTime / updateTime);
    std::filesystem::remove_all(dir);
    CoUninitialize();
    return 0;
}
