// Test support: runs commands, and Python scripts with Debian's interpreter (which has
// openpyxl and the csv module), so that files the library writes are read back by an
// independent reader and files it reads can be made by other programs.
#pragma once

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace orv::test {

inline constexpr const char* kPython = "/usr/bin/python3";

// `arg` as one shell word.
inline std::string ShellQuote(const std::string& arg) {
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs `command` with the shell; its standard output goes to `output`. The status as pclose
// gives it (0 for success), or -1 when the command could not be started.
inline int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 65536> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    return ::pclose(pipe);
}

// Runs `script` (written to `scriptPath`) with `arguments`; its standard output, or
// "<failed: status>" followed by the output when the script failed.
inline std::string RunPython(const std::string& scriptPath, const std::string& script,
                             const std::string& arguments = "") {
    {
        std::ofstream out(scriptPath, std::ios::binary);
        out << script;
    }
    std::string output;
    const int status =
        RunCommand(std::string(kPython) + " " + ShellQuote(scriptPath) + " " + arguments + " 2>&1", output);
    return status == 0 ? output : "<failed: " + std::to_string(status) + ">\n" + output;
}

}  // namespace orv::test
