// Test support: runs a Python script with Debian's interpreter (which has openpyxl and the
// csv module), so that files the library writes are read back by an independent reader and
// files it reads can be made by other programs.
#pragma once

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace orv::test {

inline constexpr const char* kPython = "/usr/bin/python3";

// Runs `script` (written to `scriptPath`) with `arguments`; its standard output, or
// "<failed: status>" followed by the output when the script failed.
inline std::string RunPython(const std::string& scriptPath, const std::string& script, const std::string& arguments = "") {
    {
        std::ofstream out(scriptPath, std::ios::binary);
        out << script;
    }
    std::string command = std::string(kPython) + " '" + scriptPath + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "<failed: popen>";
    std::string output;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    int status = ::pclose(pipe);
    return status == 0 ? output : "<failed: " + std::to_string(status) + ">\n" + output;
}

}  // namespace orv::test
