// A full disk or a failing device during a write never damages a file. Each scenario of
// orv_fault_driver runs under the fault shim once for every call it makes of each family
// (pwrite, fsync, rename, ...): the first N calls succeed and call N+1 fails (and
// every later one, or only that one, or it writes half its bytes), for N = 0, 1, 2, ...
// until the scenario makes fewer calls than that. After each run the driver must have
// exited normally, with "ok" or an error text, and the folder must hold exactly what it
// held before the write (for an error) or exactly what a clean run leaves (for "ok").
// A file left behind is accepted only when the error text names it, or when it is a hidden
// temporary file and every removal fails. A text or workbook write whose sync, truncation or
// removal failed may leave its journal or temporary file for the next open: the folder is
// then judged once the store has been opened again (without faults).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "engine/common/env.h"
#include "support/engine_session.h"
#include "support/files.h"
#include "support/folder_dump.h"
#include "support/library_fixture.h"
#include "support/python.h"

using namespace orv::test;
using orv::engine::Env;
using orv::platform::Utf16ToUtf8;

namespace {

struct Result {
    int status = -1;  // as waitpid gives it
    std::string output;
};

// Runs the driver with `env` added to its environment; stdout and stderr together.
Result RunDriver(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
    std::string command = "exec env";
    for (const auto& [key, value] : env) command += " " + ShellQuote(key + "=" + value);
    command += " " + ShellQuote(ORV_FAULT_DRIVER);
    for (const std::string& a : args) command += " " + ShellQuote(a);
    Result result;
    result.status = RunCommand(command + " 2>&1", result.output);
    return result;
}

// The dump split by file: name -> its lines.
std::map<std::string, std::string> ByFile(const std::string& dump) {
    std::map<std::string, std::string> files;
    std::istringstream in(dump);
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.rfind("file ", 0) == 0) current = line.substr(5, line.find(' ', 5) - 5);
        files[current] += line + "\n";
    }
    return files;
}

// "" when `actual` is `expected` but for files that `error` names and, when `temporaries` is
// set, the engine's hidden temporary files; else both dumps.
std::string Difference(const std::string& expected, const std::string& actual, const std::string& error,
                       bool temporaries = false) {
    auto want = ByFile(expected), got = ByFile(actual);
    std::erase_if(got, [&](const auto& file) {
        return !want.count(file.first) &&
               (error.find(file.first) != std::string::npos || (temporaries && file.first.rfind(".orv-new-", 0) == 0));
    });
    return want == got ? "" : "expected:\n" + expected + "found:\n" + actual;
}

void CopyFolder(const std::string& from, const std::string& to) {
    std::filesystem::remove_all(to);
    std::filesystem::copy(from, to);
}

struct Sweep {
    std::string scenario;
    const char* mode;  // the shim's ORV_FAULT_MODE
};

// Names the sweep in test listings rather than its bytes.
void PrintTo(const Sweep& sweep, std::ostream* out) { *out << sweep.scenario << ", " << sweep.mode; }

std::string SweepName(const ::testing::TestParamInfo<Sweep>& info) {
    std::string name = info.param.scenario + "_" + info.param.mode;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

class FaultTest : public ComTest, public ::testing::WithParamInterface<Sweep> {
protected:
    TempDir m_base;
};

// Whether a failed call of `family` may leave a text or workbook write's journal or
// temporary file for the next open to remove (it cannot know what reached the disk, or
// cannot remove the file itself).
bool LeavesWorkForTheNextOpen(const std::string& scenario, const std::string& family) {
    const bool files = scenario.rfind("text-", 0) == 0 || scenario.rfind("workbook-", 0) == 0;
    return files && (family == "fsync" || family == "fdatasync" || family == "ftruncate" || family == "unlink");
}

constexpr int kMaxCalls = 400;  // a scenario that makes more calls of one family is a runaway

TEST_P(FaultTest, AFailedCallLeavesTheFilesAsBeforeOrAsAfter) {
    const Sweep sweep = GetParam();
    const std::string start = m_base.Path("start"), run = m_base.Path("run"), report = m_base.Path("report");
    std::filesystem::create_directories(start);
    Result prepared = RunDriver({"prepare", sweep.scenario, start});
    ASSERT_TRUE(WIFEXITED(prepared.status) && WEXITSTATUS(prepared.status) == 0) << prepared.output;

    CopyFolder(start, run);
    const std::string before = DumpFolder(run);
    CopyFolder(start, run);
    Result clean = RunDriver({"run", sweep.scenario, run});
    ASSERT_EQ(clean.output, "ok\n");
    const std::string after = DumpFolder(run);
    ASSERT_NE(before, after) << "the scenario changes nothing: the sweep would prove nothing";

    std::vector<const char*> families = {"pwrite"};  // the only family a short write cuts
    if (std::string(sweep.mode) != "short")
        for (const char* f : {"fsync", "fdatasync", "ftruncate", "open", "rename", "link", "unlink"})
            families.push_back(f);

    long injected = 0;
    for (const char* family : families) {
        int n = 0;
        for (; n <= kMaxCalls; ++n) {
            CopyFolder(start, run);
            std::filesystem::remove(report);
            const std::map<std::string, std::string> env = {
                {"LD_PRELOAD", ORV_FAULT_SHIM},
                // The sanitizers' runtime wants to be loaded first; the shim comes before it.
                {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                {"ORV_FAULT_OP", family},
                {"ORV_FAULT_AFTER", std::to_string(n)},
                {"ORV_FAULT_MODE", sweep.mode},
                {"ORV_FAULT_ERRNO", n % 2 ? "EIO" : "ENOSPC"},
                {"ORV_FAULT_DIR", run},
                {"ORV_FAULT_REPORT", report},
            };
            Result result = RunDriver({"run", sweep.scenario, run}, env);
            std::string faults = Exists(report) ? ReadFile(report) : "";
            // One line per failed call, and a last line "exit ..." when the driver ends.
            const bool hit = !faults.empty() && faults.rfind("exit ", 0) != 0;
            const std::string where = std::string(family) + " call " + std::to_string(n + 1) + " (" + sweep.mode +
                                      ")\nshim: " + faults + "driver: " + result.output;

            ASSERT_TRUE(WIFEXITED(result.status)) << "the driver crashed: " << where;
            const int code = WEXITSTATUS(result.status);
            ASSERT_TRUE(code == 0 || code == 1) << "exit status " << code << ": " << where;
            std::string state = DumpFolder(run);
            if (LeavesWorkForTheNextOpen(sweep.scenario, family) && state.find("file .orv-") != std::string::npos) {
                Result opened = RunDriver({"open", sweep.scenario, run});
                EXPECT_EQ(opened.output, "ok\n") << "opened again after " << where;
                state = DumpFolder(run);
            }
            if (code == 0) {
                EXPECT_EQ(result.output, "ok\n") << where;
                EXPECT_EQ(Difference(after, state, ""), "")
                    << "success reported, but not the state of a clean run: " << where;
            } else {
                EXPECT_EQ(result.output.rfind("error: ", 0), 0u) << where;
                EXPECT_NE(result.output.find(run + "/"), std::string::npos)
                    << "an error that does not name the file: " << where;
                // When every removal fails, nothing can take a temporary file away again.
                const bool noRemoval = std::string(family) == "unlink" && std::string(sweep.mode) == "always";
                EXPECT_EQ(Difference(before, state, result.output, noRemoval), "")
                    << "failure reported, but the files changed: " << where;
            }
            if (!hit) {
                EXPECT_EQ(code, 0) << "failed without a fault: " << where;
                break;
            }
            ++injected;
            if (HasFailure()) return;
        }
        EXPECT_LE(n, kMaxCalls) << family << ": the scenario never got past the faults";
    }
    EXPECT_GT(injected, 0) << "no fault was ever injected: the shim was not loaded, or the scenario writes nothing";
    std::printf("[ faults   ] %s, %s: %ld faults injected\n", sweep.scenario.c_str(), sweep.mode, injected);
}

// Every scenario the driver lists (a line each: its name, a tab, a sentence), in each mode:
// a scenario added to the driver is swept too. (No scenario at all is a failure of its own.)
std::vector<Sweep> AllSweeps() {
    std::vector<Sweep> sweeps;
    std::istringstream lines(RunDriver({"list"}).output);
    for (std::string line; std::getline(lines, line);)
        for (const char* mode : {"always", "once", "short"}) sweeps.push_back({line.substr(0, line.find('\t')), mode});
    return sweeps;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultTest, ::testing::ValuesIn(AllSweeps()), SweepName);

// ---- The engine's file-system seam, in-process -----------------------------------------------

// Each write of a text file or a workbook runs on an Env
// that fails one call of one family (open, write, sync, truncate, rename, remove, the
// new file's ownership), for every call the write makes of that family: the first N
// succeed, call N+1 fails (and every later one, or only that one, or it writes half its
// bytes). This reaches what a preloaded library cannot: the workbook archive's own writes,
// and a refused permission also when the test runs as root. After each run the folder must
// hold exactly what it held before (the write failed, with a text naming the file) or
// exactly what a clean run leaves (it reported success), and no temporary file or journal
// (where a removal or a sync failed: none once the store is opened again).

enum class Mode { Always, Once, Short };

// Counts the calls of each family and fails the chosen one.
class FaultyEnv final : public Env {
public:
    std::map<std::string, int> calls;
    std::string family;  // the family to fail; empty: none
    int after = 0;  // calls of the family that succeed first
    Mode mode = Mode::Always;
    int error = EIO;
    int injected = 0;

    int Open(const std::string& path, int flags, mode_t m, int& fd) override {
        // Opens for reading are not writes: a failure there is an ordinary read error.
        if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) && Hit("open")) return error;
        return Env::Open(path, flags, m, fd);
    }
    int OpenScratch(const std::string& folder, int& fd) override {
        return Hit("open") ? error : Env::OpenScratch(folder, fd);
    }
    int Write(int fd, const void* data, std::size_t size, off_t offset, std::size_t& done) override {
        if (!Hit("write")) return Env::Write(fd, data, size, offset, done);
        if (mode != Mode::Short || size < 2) return error;
        return Env::Write(fd, data, size / 2, offset, done);  // a torn write: half, then the caller goes on
    }
    int Sync(int fd) override { return Hit("sync") ? error : Env::Sync(fd); }
    int Truncate(int fd, off_t size) override { return Hit("truncate") ? error : Env::Truncate(fd, size); }
    int CopyOwnership(int fd, const struct stat& like) override {
        return Hit("ownership") ? error : Env::CopyOwnership(fd, like);
    }
    int Rename(const std::string& from, const std::string& to) override {
        return Hit("rename") ? error : Env::Rename(from, to);
    }
    int RenameNoReplace(const std::string& from, const std::string& to) override {
        return Hit("rename") ? error : Env::RenameNoReplace(from, to);
    }
    int Remove(const std::string& path) override { return Hit("remove") ? error : Env::Remove(path); }

private:
    bool Hit(const std::string& name) {
        const int n = calls[name]++;
        if (name != family) return false;
        const bool fail = mode == Mode::Once ? n == after : n >= after;
        injected += fail;
        return fail;
    }
};

// A write to sweep: the file it writes (which an error text must name; a workbook, or a
// text file of the folder), and the statement that writes. A text folder starts with t.csv
// of 200 records, a workbook with a sheet Log of one row.
struct Scenario {
    const char* name;
    const char* file;
    const char16_t* sql;
};

const Scenario kScenarios[] = {
    {"text-append", "t.csv", u"INSERT INTO [t.csv] SELECT id + 1000, name FROM [t.csv]"},
    {"text-rewrite", "t.csv", u"UPDATE [t.csv] SET name = 'changed' WHERE id % 3 = 0"},
    {"text-create", "new.csv", u"CREATE TABLE [new.csv] (id INTEGER, made DATETIME)"},
    {"workbook-write", "book.xlsx", u"INSERT INTO [Log$] VALUES (2, 'second')"},
    {"workbook-create-sheet", "book.xlsx", u"CREATE TABLE Totals (month DATETIME, total DOUBLE)"},
};

bool OnAWorkbook(const Scenario& scenario) { return std::string(scenario.file).find(".xlsx") != std::string::npos; }

// A fresh session on the scenario's store, as the next user of the folder would open it.
CComPtr<IOpenRowset> Open(const Scenario& scenario, const TempDir& dir) {
    return OnAWorkbook(scenario)
               ? OpenSession(dir.WPath(scenario.file), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\"")
               : OpenSession(dir.WPath(), u"Extended Properties=\"text;HDR=YES;FMT=Delimited\"");
}

// Runs `statements` on a fresh session: an error text, or "" for success.
std::string RunOn(const Scenario& scenario, const TempDir& dir, std::initializer_list<const char16_t*> statements) {
    CComPtr<IOpenRowset> session = Open(scenario, dir);
    if (!session) return "open: " + Utf16ToUtf8(LastErrorDescription());
    for (const char16_t* sql : statements)
        if (RunSql(session, sql) != S_OK) return Utf16ToUtf8(LastErrorDescription()) + " ";
    return "";
}

void Prepare(const Scenario& scenario, const TempDir& dir) {
    if (OnAWorkbook(scenario)) {
        EXPECT_EQ(RunOn(scenario, dir,
                        {u"CREATE TABLE Log (id INTEGER, note TEXT)", u"INSERT INTO [Log$] VALUES (1, 'first')"}),
                  "");
        return;
    }
    std::string text = "id,name\r\n";
    for (int i = 1; i <= 200; ++i) text += std::to_string(i) + ",name " + std::to_string(i) + "\r\n";
    WriteFile(dir.Path("t.csv"), text);
}

// The folder as a text to compare, without the engine's hidden files (checked on their own).
std::string Dump(const TempDir& dir) {
    std::string out;
    std::istringstream lines(DumpFolder(dir.Path()));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("file .orv-", 0) != 0) out += line + "\n";
    return out;
}

class EnvFaultTest : public ComTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(EnvFaultTest, EveryFailedCallLeavesTheFolderAsBeforeOrAsAfter) {
    const Scenario& scenario = GetParam();
    TempDir clean;
    Prepare(scenario, clean);
    const std::string before = Dump(clean);
    FaultyEnv counting;
    {
        orv::engine::ScopedEnv scoped(counting);
        ASSERT_EQ(RunOn(scenario, clean, {scenario.sql}), "") << "the write fails without a fault";
    }
    const std::string after = Dump(clean);
    ASSERT_NE(before, after);

    int runs = 0, injected = 0, failures = 0;
    for (const auto& [family, count] : counting.calls) {
        // Removals fail with "permission denied", opens and renames too (even for root);
        // writes and syncs as a failing device.
        const int error = family == "write" || family == "sync" || family == "truncate" ? EIO : EACCES;
        for (Mode mode : {Mode::Always, Mode::Once, Mode::Short}) {
            if (mode == Mode::Short && family != "write") continue;
            for (int n = 0; n < count; ++n) {
                TempDir dir;
                Prepare(scenario, dir);
                FaultyEnv faulty;
                faulty.family = family;
                faulty.after = n;
                faulty.mode = mode;
                faulty.error = error;
                std::string result;
                {
                    orv::engine::ScopedEnv scoped(faulty);
                    result = RunOn(scenario, dir, {scenario.sql});
                }
                ++runs;
                injected += faulty.injected;
                const char* const kHow[] = {" and later", " only", " torn"};
                const std::string where = std::string(scenario.name) + ": " + family + " call " +
                                          std::to_string(n + 1) + kHow[static_cast<int>(mode)];
                const std::string now = Dump(dir);
                if (result.empty()) {
                    EXPECT_EQ(now, after) << where << " reported success";
                } else {
                    ++failures;
                    EXPECT_EQ(now, before) << where << " failed with: " << result;
                    EXPECT_NE(result.find(scenario.file), std::string::npos) << where << ": " << result;
                }
                // A failed removal, or a sync that leaves it unknown what reached the disk,
                // may leave a journal or temporary file for the next open to deal with;
                // only removals that all fail may leave one for good.
                if (family == "remove" || family == "sync" || family == "truncate") {
                    EXPECT_TRUE(Open(scenario, dir)) << Utf16ToUtf8(LastErrorDescription());
                }
                if (!(family == "remove" && mode == Mode::Always)) {
                    EXPECT_EQ(HiddenFiles(dir.Path()), "") << where << " (" << result << ")";
                    EXPECT_EQ(Dump(dir), result.empty() ? after : before) << where << ", opened again";
                }
            }
        }
    }
    EXPECT_GT(failures, 0);
    std::printf("[ env      ] %s: %d runs, %d faults injected, %d writes refused\n", scenario.name, runs, injected,
                failures);
}

INSTANTIATE_TEST_SUITE_P(Writes, EnvFaultTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
