// Reading every cell of a workbook sheet: the library (SELECT * through OrvOleDbCommand,
// every field as UTF-16 text) against the floor of any reader built on libzip and expat
// (the shared strings loaded, the sheet parsed once, every value converted to UTF-16), in
// alternating rounds, and against openpyxl's read-only mode once. The workbook is made by
// openpyxl: 100,000 rows of six columns (an integer, two texts, a number, a date, a text
// with gaps). Each read runs in a child process of its own, for its peak memory.
//
//   bench_xlsx [rows] [rounds] [--library-only]
//                                  default 100000 rows, 5 rounds; --library-only reads with
//                                  the library alone, in this process, for profiling
#include <expat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// ---- The floor ---------------------------------------------------------------------------

// What the floor's handlers share: the shared strings, then the sheet's current value.
struct Floor {
    std::vector<std::string> strings;
    std::string text;
    bool collecting = false, shared = false;
    long rows = 0;
    std::size_t characters = 0;
    std::u16string wide;
};

const char* LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
    auto& floor = *static_cast<Floor*>(data);
    if (floor.collecting) floor.text.append(text, std::size_t(length));
}

void XMLCALL StringStart(void* data, const XML_Char* name, const XML_Char**) {
    auto& floor = *static_cast<Floor*>(data);
    const char* local = LocalName(name);
    if (std::strcmp(local, "si") == 0) floor.text.clear();
    else if (std::strcmp(local, "t") == 0) floor.collecting = true;
}

void XMLCALL StringEnd(void* data, const XML_Char* name) {
    auto& floor = *static_cast<Floor*>(data);
    const char* local = LocalName(name);
    if (std::strcmp(local, "t") == 0) floor.collecting = false;
    else if (std::strcmp(local, "si") == 0) floor.strings.push_back(floor.text);
}

void XMLCALL SheetStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& floor = *static_cast<Floor*>(data);
    const char* local = LocalName(name);
    if (std::strcmp(local, "c") == 0) {
        floor.shared = false;
        for (; attributes[0]; attributes += 2)
            if (std::strcmp(attributes[0], "t") == 0) floor.shared = std::strcmp(attributes[1], "s") == 0;
    } else if (std::strcmp(local, "v") == 0 || std::strcmp(local, "t") == 0) {
        floor.text.clear();
        floor.collecting = true;
    }
}

void XMLCALL SheetEnd(void* data, const XML_Char* name) {
    auto& floor = *static_cast<Floor*>(data);
    const char* local = LocalName(name);
    if (std::strcmp(local, "row") == 0) {
        ++floor.rows;
    } else if (std::strcmp(local, "v") == 0 || std::strcmp(local, "t") == 0) {
        floor.collecting = false;
        const std::string& value =
            floor.shared ? floor.strings[std::strtoul(floor.text.c_str(), nullptr, 10)] : floor.text;
        floor.wide.clear();
        orv::platform::AppendUtf8ToUtf16(floor.wide, value);
        floor.characters += floor.wide.size();
    }
}

void ParsePart(zip_t* zip, const char* part, Floor& floor, XML_StartElementHandler start, XML_EndElementHandler end) {
    zip_file_t* file = zip_fopen(zip, part, 0);
    if (!file) return;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &floor);
    XML_SetElementHandler(parser, start, end);
    XML_SetCharacterDataHandler(parser, OnText);
    for (;;) {
        void* chunk = XML_GetBuffer(parser, 64 * 1024);
        zip_int64_t n = zip_fread(file, chunk, 64 * 1024);
        XML_ParseBuffer(parser, int(std::max<zip_int64_t>(n, 0)), n <= 0);
        if (n <= 0) break;
    }
    XML_ParserFree(parser);
    zip_fclose(file);
}

// Every cell of the one sheet as UTF-16 text, the shared strings loaded first. The header row
// is counted as a row; the caller takes it off.
void FloorRead(const std::string& book, long& rows, std::size_t& characters) {
    int code = 0;
    zip_t* zip = zip_open(book.c_str(), ZIP_RDONLY, &code);
    Floor floor;
    ParsePart(zip, "xl/sharedStrings.xml", floor, StringStart, StringEnd);
    ParsePart(zip, "xl/worksheets/sheet1.xml", floor, SheetStart, SheetEnd);
    zip_discard(zip);
    rows = floor.rows - 1;
    characters = floor.characters;
}

// ---- The library -------------------------------------------------------------------------

void LibraryRead(const std::string& book, long& rows, std::size_t& characters) {
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(book) +
                          u";Extended Properties=\"Excel 12.0 Xml;HDR=YES\"";
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::printf("open failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
        std::exit(1);
    }
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(u"SELECT * FROM [Data$]"));
    if (command.Execute() != OrvOleDbCommand::dbTrue) {
        std::printf("query failed: %s\n", orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    const DBORDINAL columns = command.GetColumnCount();
    while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
        for (DBORDINAL i = 1; i <= columns; ++i) characters += command.FieldAsString(i).GetLength();
        ++rows;
    }
}

// ---- Rounds --------------------------------------------------------------------------------

struct Measure {
    double seconds = 0, cpuSeconds = 0;
    long peakKb = 0, rows = 0;
};

// Processor time of this process: on a shared machine elapsed time also counts the others' work.
double CpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs `read` in a child process: its elapsed time, rows and peak resident memory.
template <class Read>
Measure InChild(Read read) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) std::exit(1);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        long rows = 0;
        std::size_t characters = 0;
        const auto start = Clock::now();
        const double cpuStart = CpuSeconds();
        read(rows, characters);
        Measure measure{std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpuStart, 0, rows};
        if (::write(pipeEnds[1], &measure, sizeof measure) != ssize_t(sizeof measure)) _exit(1);
        _exit(0);
    }
    ::close(pipeEnds[1]);
    Measure measure;
    if (::read(pipeEnds[0], &measure, sizeof measure) != ssize_t(sizeof measure)) measure = Measure{};
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    measure.peakKb = usage.ru_maxrss;
    return measure;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
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

    if (argc > 3 && std::strcmp(argv[3], "--library-only") == 0) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (int round = 0; round < rounds; ++round) {
            long read = 0;
            std::size_t characters = 0;
            LibraryRead(book, read, characters);
        }
        std::filesystem::remove_all(dir);
        return 0;
    }
    // Alternating rounds: the two reads of a round share the load of the machine.
    std::vector<double> ratios, cpuRatios, floorRates, libraryRates, floorKb, libraryKb;
    for (int round = 0; round < rounds; ++round) {
        const Measure floor = InChild([&](long& n, std::size_t& c) { FloorRead(book, n, c); });
        const Measure library = InChild([&](long& n, std::size_t& c) { LibraryRead(book, n, c); });
        if (library.rows != floor.rows) {
            std::printf("the library read %ld rows, the floor %ld\n", library.rows, floor.rows);
            return 1;
        }
        floorRates.push_back(floor.rows / floor.seconds);
        libraryRates.push_back(library.rows / library.seconds);
        ratios.push_back(floor.seconds / library.seconds);
        cpuRatios.push_back(floor.cpuSeconds / library.cpuSeconds);
        floorKb.push_back(double(floor.peakKb));
        libraryKb.push_back(double(library.peakKb));
    }
    std::printf("  libzip + expat floor: %.0f rows/s (median), peak memory %.1f MB\n", Median(floorRates),
                Median(floorKb) / 1024.0);
    std::printf("  library:              %.0f rows/s (median), peak memory %.1f MB\n", Median(libraryRates),
                Median(libraryKb) / 1024.0);
    std::printf("  ratio library / floor: median %.2f, range %.2f to %.2f over %d rounds (aim: at least 0.8)\n",
                Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), rounds);
    std::printf("  in processor time:     median %.2f, range %.2f to %.2f\n", Median(cpuRatios),
                *std::min_element(cpuRatios.begin(), cpuRatios.end()),
                *std::max_element(cpuRatios.begin(), cpuRatios.end()));

    long referenceRows = 0, referenceKb = 0;
    double reference = 0;
    std::sscanf(Run("/usr/bin/python3 " + dir + "/read.py " + book).c_str(), "%ld %lf %ld", &referenceRows, &reference,
                &referenceKb);
    if (referenceRows > 0)
        std::printf("  openpyxl read-only:   %.0f rows/s, peak memory %.0f MB; library / openpyxl %.1fx\n",
                    referenceRows / reference, referenceKb / 1024.0,
                    Median(libraryRates) / (referenceRows / reference));
    std::filesystem::remove_all(dir);
    return 0;
}
