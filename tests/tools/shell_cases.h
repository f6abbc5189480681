// Test support: orvsql's behaviour written as cases in data files (tests/tools/cases/*.test,
// tests/pg/cases/*.test), each case a test of its own in a fresh folder. A file is a list of
// records, each a directive line followed by its lines up to a blank line; lines starting
// with "#" outside a record are comments. The records before the first "case" run at the
// start of every case of the file.
//
//   case NAME      the start of a case (NAME: letters and digits)
//   sqlite         SQL that SQLite runs on plant.mdb in the folder
//   file NAME      the record's lines, each ended by "\n", written to NAME in the folder
//   run [exit N]   orvsql run in the folder, which must end with status N (0 when not
//                  given; status 1 or 2 must come with words on standard error): one
//                  argument a line, up to the first of these optional sections:
//                    <<<            its standard input, each line ended by "\n" (the
//                                   last one not with "<<< unended")
//                    ----           its standard output, exactly
//                    ---- stderr    its standard error, exactly
//   expect NAME    the file NAME in the folder holds each of the record's lines (with
//                  "exact": is them, each ended by "\n"); with no lines, NAME must not exist
//   folder [NAME]  the names in the folder (or in its folder NAME), sorted, are the lines
//
// A section title followed by "holds" checks each line as a part the text holds ("!" before
// it: does not hold; "^": starts with); followed by "json", each line of the text is read
// by Python's JSON module (which refuses what RFC 8259 does not allow, NaN and Infinity
// included) and written back in one canonical form (keys sorted, every character outside
// ASCII escaped) before it is compared. On a directive, "crlf" ends the lines of exact
// standard output with "\r\n", and "escaped" reads \n \r \t \\ and \xHH in the record's
// lines (a line of output that starts with "----" is written "\x2d---"). "$DIR" in any line
// stands for the case's folder, and each caller may add names.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/python.h"
#include "tools/shell_process.h"

namespace orv::test {

struct ShellRecord {
    std::string where;  // file:line, for failure messages
    std::vector<std::string> words;  // the directive line
    std::vector<std::string> lines;
    bool Has(const std::string& word) const { return std::find(words.begin(), words.end(), word) != words.end(); }
};

struct ShellCase {
    std::string name;
    std::vector<ShellRecord> records;  // the file's prelude first
};
inline void PrintTo(const ShellCase& c, std::ostream* out) { *out << c.name; }

inline std::string Unescaped(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

// Every case of every *.test file in `folder`, in the order of the file names.
inline std::vector<ShellCase> ReadShellCases(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".test") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<ShellCase> cases;
    for (const std::string& file : files) {
        std::ifstream in(file);
        std::vector<ShellRecord> prelude;
        std::vector<ShellRecord>* records = &prelude;
        ShellRecord* open = nullptr;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            if (line.empty()) {
                open = nullptr;
            } else if (open) {
                open->lines.push_back(line);
            } else if (line[0] != '#') {
                std::istringstream words(line);
                ShellRecord record{std::filesystem::path(file).filename().string() + ":" + std::to_string(number)};
                for (std::string w; words >> w;) record.words.push_back(w);
                if (record.words[0] == "case") {
                    cases.push_back({record.words.at(1), prelude});
                    records = &cases.back().records;
                    continue;
                }
                records->push_back(record);
                open = &records->back();
            }
        }
    }
    return cases;
}

// Every line of `text` read by Python's JSON module and written back in one canonical form.
inline std::string JsonByPython(const TempDir& dir, const std::string& text) {
    WriteFile(dir.Path("lines.json"), text);
    return RunPython(dir.Path("canonical.py"),
                     "import json, sys\n"
                     "def refuse(name): raise ValueError(name)\n"
                     "for line in open(sys.argv[1], encoding='utf-8', newline='\\n'):\n"
                     "    print(json.dumps(json.loads(line, parse_constant=refuse), sort_keys=True))\n",
                     ShellQuote(dir.Path("lines.json")));
}

// Checks `text` against a section's lines: exactly (each line ended by `end`) or, with
// `holds`, part by part.
inline void ExpectText(const std::string& what, const std::string& text, const std::vector<std::string>& lines,
                       bool holds, const std::string& end = "\n") {
    if (!holds) {
        std::string expected;
        for (const std::string& l : lines) expected += l + end;
        EXPECT_EQ(text, expected) << what;
        return;
    }
    for (const std::string& l : lines) {
        if (l[0] == '!')
            EXPECT_EQ(text.find(l.substr(1)), std::string::npos) << what << " holds " << l << ":\n" << text;
        else if (l[0] == '^') EXPECT_EQ(text.rfind(l.substr(1), 0), 0u) << what << " starts " << l << ":\n" << text;
        else EXPECT_NE(text.find(l), std::string::npos) << what << " lacks " << l << ":\n" << text;
    }
}

// Runs the records of `c` in `dir`, with each name of `names` replaced by its text.
inline void RunShellCase(const ShellCase& c, const TempDir& dir, std::map<std::string, std::string> names = {}) {
    names["$DIR"] = dir.Path();
    for (const ShellRecord& r : c.records) {
        SCOPED_TRACE(r.where);
        std::vector<std::string> lines = r.lines;
        for (std::string& line : lines) {
            for (const auto& [name, text] : names)
                for (std::size_t at; (at = line.find(name)) != std::string::npos;) line.replace(at, name.size(), text);
            if (r.Has("escaped")) line = Unescaped(line);
        }
        // Sections are found in the lines as written, so that escaped text never starts one.
        auto next = [&](std::size_t from) {
            while (from < lines.size() && r.lines[from].rfind("<<<", 0) != 0 && r.lines[from].rfind("----", 0) != 0)
                ++from;
            return from;
        };
        auto join = [&](std::size_t from, std::size_t to) {
            std::string text;
            for (; from < to; ++from) text += lines[from] + "\n";
            return text;
        };
        const std::string& what = r.words[0];
        if (what == "sqlite") {
            MakeDatabase(dir.Path("plant.mdb"), join(0, lines.size()).c_str());
        } else if (what == "file") {
            WriteFile(dir.Path(r.words.at(1)), join(0, lines.size()));
        } else if (what == "expect") {
            if (lines.empty()) EXPECT_FALSE(Exists(dir.Path(r.words.at(1)))) << r.words[1];
            else ExpectText(r.words[1], ReadFile(dir.Path(r.words[1])), lines, !r.Has("exact"));
        } else if (what == "folder") {
            std::vector<std::string> entries;
            for (const auto& entry :
                 std::filesystem::directory_iterator(dir.Path(r.words.size() > 1 ? r.words[1] : "")))
                entries.push_back(entry.path().filename().string());
            std::sort(entries.begin(), entries.end());
            EXPECT_EQ(entries, lines);
        } else if (what == "run") {
            std::size_t section = next(0), end = section;
            const std::vector<std::string> args(lines.begin(), lines.begin() + static_cast<long>(section));
            std::string input;
            if (section < lines.size() && r.lines[section].rfind("<<<", 0) == 0) {
                end = next(section + 1);
                input = join(section + 1, end);
                if (r.lines[section] == "<<< unended") input.pop_back();
                section = end;
            }
            const ShellResult result = RunShell(dir, args, input);
            const auto exit = std::find(r.words.begin(), r.words.end(), "exit");
            const int status = exit == r.words.end() ? 0 : std::stoi(*(exit + 1));
            EXPECT_EQ(result.status, status) << result.err;
            if (status == 1 || status == 2) {
                EXPECT_NE(result.err, "") << "a failure says why";
            }
            for (; section < lines.size(); section = end) {
                end = next(section + 1);
                const bool err = r.lines[section].find("stderr") != std::string::npos;
                const bool json = r.lines[section].find("json") != std::string::npos;
                ExpectText(err ? "stderr" : "stdout",
                           json  ? JsonByPython(dir, result.out)
                           : err ? result.err
                                 : result.out,
                           {lines.begin() + static_cast<long>(section) + 1, lines.begin() + static_cast<long>(end)},
                           r.lines[section].find("holds") != std::string::npos, r.Has("crlf") && !err ? "\r\n" : "\n");
            }
        } else {
            ADD_FAILURE() << "unknown directive " << what;
        }
    }
}

}  // namespace orv::test
