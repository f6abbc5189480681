// The CSV file that the text benchmarks read and import: rows of parts with the columns
// id, name, qty, price, date and note.
#pragma once

#include <charconv>
#include <cstdio>
#include <fstream>
#include <string>

// id, name, qty, price, date, note; every fifth note is quoted and holds a comma and a
// doubled quote, so that the split has quotes to handle.
inline void MakeFile(const std::string& path, long rows) {
    std::ofstream out(path, std::ios::binary);
    out << "id,name,qty,price,date,note\r\n";
    std::string line;
    char buffer[64];
    for (long i = 1; i <= rows; ++i) {
        line = std::to_string(i);
        line += ",part number ";
        line += std::to_string(i);
        line += ',';
        line += std::to_string(i % 1000);
        line += ',';
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, double(i % 10000) * 0.25 + 0.01);
        (void)ec;
        line.append(buffer, end);
        std::snprintf(buffer, sizeof buffer, ",2024-%02ld-%02ld,", i % 12 + 1, i % 28 + 1);
        line += buffer;
        if (i % 5 == 0) line += "\"a note, with \"\"quotes\"\", about the spare part " + std::to_string(i) + "\"";
        else line += "a plain note about the spare part number " + std::to_string(i);
        line += "\r\n";
        out << line;
    }
}
