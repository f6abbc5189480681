// Test support: .xlsx archives written part by part with libzip, for workbooks that only
// hand-written XML has (hostile ones included).
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <string>
#include <utility>
#include <vector>

namespace orv::test {

using Parts = std::vector<std::pair<std::string, std::string>>;

// Writes an archive of the given parts with libzip, uncompressed.
inline void WriteArchive(const std::string& path, const Parts& parts) {
    int code = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(zip, nullptr);
    for (const auto& [name, text] : parts) {
        zip_source_t* source = zip_source_buffer(zip, text.data(), text.size(), 0);
        zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_OVERWRITE);
        ASSERT_GE(index, 0);
        // Stored, not compressed: the fixtures cover compressed parts, and a large test part
        // would spend longer being compressed than read.
        zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    ASSERT_EQ(zip_close(zip), 0);
}

inline const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// The parts of a workbook with the given sheets (name, sheet data) and shared strings, in
// this order: xl/workbook.xml, its relationships, the sheets, the shared strings.
inline Parts Sheets(const std::vector<std::pair<std::string, std::string>>& sheets, const std::string& strings = "") {
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    std::string list, links;
    Parts sheetParts;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        list += "<sheet name=\"" + sheets[i].first + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
        links += "<Relationship Id=\"rId" + n + "\" Type=\"" + rel + "/worksheet\" Target=\"worksheets/sheet" + n +
                 ".xml\"/>";
        sheetParts.emplace_back("xl/worksheets/sheet" + n + ".xml", "<worksheet xmlns=\"" + std::string(kMain) +
                                                                        "\"><sheetData>" + sheets[i].second +
                                                                        "</sheetData></worksheet>");
    }
    Parts parts;
    parts.emplace_back("xl/workbook.xml", "<workbook xmlns=\"" + std::string(kMain) + "\" xmlns:r=\"" + rel +
                                              "\"><sheets>" + list + "</sheets></workbook>");
    parts.emplace_back("xl/_rels/workbook.xml.rels",
                       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                           links + "</Relationships>");
    parts.insert(parts.end(), sheetParts.begin(), sheetParts.end());
    if (!strings.empty()) parts.emplace_back("xl/sharedStrings.xml", strings);
    return parts;
}

// The parts of a one-sheet workbook named "S" with the given sheet data and shared strings.
inline Parts OneSheet(const std::string& sheetData, const std::string& strings = "") {
    return Sheets({{"S", sheetData}}, strings);
}

}  // namespace orv::test
