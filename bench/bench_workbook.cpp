// Loading an .xlsx sheet: LoadXlsx against the floor any reader of the format pays, the
// same parts unpacked and run through expat with no handlers. The sheet has 100,000 rows
// of six columns, three numbers (one of them a date) and three shared strings.
//
//   bench_workbook [rows] [--load-only]   default 100,000 rows; --load-only skips the floor,
//                                         for profiling the reader alone
#include <expat.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <ctime>
#include <vector>

#include "engine/workbook/workbook.h"

namespace {

// Processor time of this process: the machine may be busy with other work, which wall-clock
// time would count too.
double CpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}
const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

void MakeWorkbook(const std::string& path, long rows, std::vector<std::string>& parts) {
    const long unique = rows / 2;
    std::string strings = std::string("<sst xmlns=\"") + kMain + "\" uniqueCount=\"" + std::to_string(unique) + "\">";
    for (long i = 0; i < unique; ++i) strings += "<si><t>customer " + std::to_string(i) + "</t></si>";
    strings += "</sst>";
    std::string sheet = std::string("<worksheet xmlns=\"") + kMain + "\"><dimension ref=\"A1:F" + std::to_string(rows) +
                        "\"/><sheetData>";
    for (long r = 1; r <= rows; ++r) {
        const std::string row = std::to_string(r);
        sheet += "<row r=\"" + row + "\">";
        sheet += "<c r=\"A" + row + "\"><v>" + row + "</v></c>";
        sheet += "<c r=\"B" + row + "\" t=\"s\"><v>" + std::to_string(r % unique) + "</v></c>";
        sheet += "<c r=\"C" + row + "\"><v>" + std::to_string(r * 0.25) + "</v></c>";
        sheet += "<c r=\"D" + row + "\" t=\"s\"><v>" + std::to_string((r * 7) % unique) + "</v></c>";
        sheet += "<c r=\"E" + row + "\" s=\"1\"><v>" + std::to_string(40000 + r % 3000) + "</v></c>";
        sheet += "<c r=\"F" + row + "\" t=\"s\"><v>" + std::to_string((r * 13) % unique) + "</v></c>";
        sheet += "</row>";
    }
    sheet += "</sheetData></worksheet>";
    parts = {
        std::string("<workbook xmlns=\"") + kMain + "\" xmlns:r=\"" + kRel +
            "\"><sheets><sheet name=\"Orders\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>",
        std::string("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                    "<Relationship Id=\"rId1\" Type=\"") +
            kRel + "/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>",
        std::string("<styleSheet xmlns=\"") + kMain +
            "\"><cellXfs count=\"2\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/></cellXfs></styleSheet>",
        strings,
        sheet,
    };
    const char* names[] = {"xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/styles.xml", "xl/sharedStrings.xml",
                           "xl/worksheets/sheet1.xml"};
    std::filesystem::remove(path);
    int code = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    for (std::size_t i = 0; i < parts.size(); ++i)
        zip_file_add(zip, names[i], zip_source_buffer(zip, parts[i].data(), parts[i].size(), 0), 0);
    if (!zip || zip_close(zip) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void XMLCALL NoStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL NoEnd(void*, const XML_Char*) {}
void XMLCALL NoText(void*, const XML_Char*, int) {}

// The floor: every part unpacked and parsed, with handlers that do nothing (expat does much
// of its work, attributes above all, only for a handler that will receive it).
double BareParse(const std::string& path) {
    double start = CpuSeconds();
    int code = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_RDONLY, &code);
    std::vector<char> buffer(64 * 1024);
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_file_t* file = zip_fopen_index(zip, zip_uint64_t(i), 0);
        XML_Parser parser = XML_ParserCreate("UTF-8");
        XML_SetElementHandler(parser, NoStart, NoEnd);
        XML_SetCharacterDataHandler(parser, NoText);
        for (;;) {
            void* chunk = XML_GetBuffer(parser, int(buffer.size()));
            zip_int64_t n = zip_fread(file, chunk, buffer.size());
            XML_ParseBuffer(parser, int(n), n <= 0);
            if (n <= 0) break;
        }
        XML_ParserFree(parser);
        zip_fclose(file);
    }
    zip_discard(zip);
    return CpuSeconds() - start;
}

double Load(const std::string& path, std::size_t& cells, double& wall) {
    auto begin = std::chrono::steady_clock::now();
    double start = CpuSeconds();
    orv::engine::workbook::Workbook book;
    std::string error;
    if (!orv::engine::workbook::LoadXlsx(path, book, error)) {
        std::fprintf(stderr, "LoadXlsx failed: %s\n", error.c_str());
        std::exit(1);
    }
    double seconds = CpuSeconds() - start;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    cells = book.sheets.at(0).cells.size();
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    long rows = argc > 1 ? std::atol(argv[1]) : 100000;
    const std::string path = (std::filesystem::temp_directory_path() / "bench_workbook.xlsx").string();
    std::vector<std::string> parts;
    MakeWorkbook(path, rows, parts);
    const bool loadOnly = argc > 2 && std::string(argv[2]) == "--load-only";
    double best = 1e9, floor = 1e9, bestWall = 1e9;
    std::size_t cells = 0;
    for (int run = 0; run < 5; ++run) {
        if (!loadOnly) floor = std::min(floor, BareParse(path));
        double wall = 0;
        best = std::min(best, Load(path, cells, wall));
        bestWall = std::min(bestWall, wall);
    }
    std::printf("xlsx load, %ld rows x 6 columns (%zu cells, %.1f MB of sheet XML, %.1f MB archive)\n", rows, cells,
                parts.back().size() / 1e6, std::filesystem::file_size(path) / 1e6);
    if (!loadOnly) std::printf("  unzip + expat alone: %.3f s of processor time\n", floor);
    std::printf("  LoadXlsx:            %.3f s of processor time (%.2fx), %.3f s elapsed\n", best,
                loadOnly ? 0.0 : best / floor, bestWall);
    std::filesystem::remove(path);
    return 0;
}
