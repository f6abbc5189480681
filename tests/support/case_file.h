// The lines of a case file (tests/<layer>/cases/NAME): cases that differ only in data, one
// a line. Blank lines and lines that begin with '#' are skipped; each other line is handed
// to `each` under a trace that names the file, the line's number and its text, so that a
// failing case says where it is.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace orv::test {

// Calls each(line) for every case of the file; the number of cases.
template <class Each>
int ForEachCase(const std::string& name, Each each) {
    const std::string path = std::string(ORV_TEST_CASES) + "/" + name;
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    int number = 0, cases = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(name + ":" + std::to_string(number) + ": " + line);
        each(line);
        ++cases;
    }
    return cases;
}

}  // namespace orv::test
