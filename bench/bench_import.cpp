// Importing a CSV file into a database file: `orvsql .import` against the sqlite3 shell's
// `.import --csv` of the same file into a new table of a new database, each program run as
// its own process, alternately, several rounds. Both load the rows in one transaction. The
// file (about 50 MB by default) is bench_csv's (sample_csv.h): id, name, qty, price, an ISO
// date and a note, every fifth note quoted with a comma and doubled quotes.
//
//   bench_import [rows] [rounds]   default 500,000 rows (about 50 MB), 3 rounds
//
// Needs the sqlite3 shell (Debian package `sqlite3`, installed by scripts/install-deps.sh).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sample_csv.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a child process took: elapsed, and processor time (user and system), which
// the load of a shared machine moves less.
struct Took {
    double elapsed = -1;  // negative when the program failed
    double processor = 0;
};

// Runs `argv` with its output thrown away.
Took Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);  // or the child's stdout, reopened, would write it again
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Took took;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        took.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    took.processor =
        usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    return took;
}

// The rows of table t in `database`, by the sqlite3 shell.
long CountRows(const std::string& database) {
    std::string command = "sqlite3 '" + database + "' 'SELECT COUNT(*) FROM t'";
    FILE* pipe = popen(command.c_str(), "r");
    long rows = -1;
    if (pipe && std::fscanf(pipe, "%ld", &rows) != 1) rows = -1;
    if (pipe) pclose(pipe);
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 500000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string dir = std::filesystem::temp_directory_path() / "orv-bench-import";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string csv = dir + "/parts.csv";
    MakeFile(csv, rows);
    std::printf("bench_import: %ld rows, %.1f MB of CSV, into a new table of a new database file\n", rows,
                std::filesystem::file_size(csv) / 1e6);
    if (Run({"sqlite3", "--version"}).elapsed < 0) {
        std::printf("  the sqlite3 shell is not installed (Debian package sqlite3): skipped\n");
        return 0;
    }

    // Per round: elapsed and processor time of each, and the ratio of speeds (shell time
    // over orvsql time) by each measure.
    std::vector<double> shellTime, libraryTime, shellCpu, libraryCpu, ratio, cpuRatio;
    for (int round = 0; round < rounds; ++round) {
        const std::string a = dir + "/shell.db", b = dir + "/library.db";
        std::filesystem::remove(a);
        std::filesystem::remove(b);
        Run({"sqlite3", b, "PRAGMA user_version = 1"});  // orvsql opens an existing file only
        const Took s = Run({"sqlite3", a, ".import --csv " + csv + " t"});
        const Took l = Run({ORVSQL, b, ".import " + csv + " t"});
        if (s.elapsed < 0 || l.elapsed < 0 || CountRows(a) != rows || CountRows(b) != rows) {
            std::fprintf(stderr, "an import failed (shell %.2f s, orvsql %.2f s)\n", s.elapsed, l.elapsed);
            return 1;
        }
        shellTime.push_back(s.elapsed);
        libraryTime.push_back(l.elapsed);
        shellCpu.push_back(s.processor);
        libraryCpu.push_back(l.processor);
        ratio.push_back(s.elapsed / l.elapsed);
        cpuRatio.push_back(s.processor / l.processor);
    }
    auto report = [rounds](const char* title, std::vector<double> v, const char* unit) {
        std::sort(v.begin(), v.end());
        std::printf("  %-44s median %6.2f%s (%.2f to %.2f)\n", title, v[rounds / 2], unit, v.front(), v.back());
    };
    report("sqlite3 shell .import, elapsed:", shellTime, " s");
    report("orvsql .import, elapsed:", libraryTime, " s");
    report("sqlite3 shell .import, processor:", shellCpu, " s");
    report("orvsql .import, processor:", libraryCpu, " s");
    report("ratio orvsql/shell speed, elapsed:", ratio, "");
    report("ratio orvsql/shell speed, processor time:", cpuRatio, "");
    std::filesystem::remove_all(dir);
    return 0;
}
