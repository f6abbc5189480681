// The file-system seam, in-process: each write of a text file or a workbook runs on an Env
// that fails one call of one family (open, write, sync, truncate, rename, remove, the
// new file's ownership), for every call the write makes of that family: the first N
// succeed, call N+1 fails (and every later one, or only that one, or it writes half its
// bytes). This reaches what a preloaded library cannot: the workbook archive's own writes,
// and a refused permission also when the test runs as root. After each run the folder must
// hold exactly what it held before (the write failed, with a text naming the file) or
// exactly what a clean run leaves (it reported success), and no temporary file or journal
// (where a removal or a sync failed: none once the store is opened again).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "engine/common/env.h"
#include "support/engine_session.h"
#include "support/folder_dump.h"
#include "support/library_fixture.h"

using namespace orv::test;
using orv::engine::Env;
using orv::platform::Utf16ToUtf8;

namespace {

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
                const std::string where = std::string(scenario.name) + ": " + family + " call " +
                                          std::to_string(n + 1) +
                                          (mode == Mode::Always ? " and later"
                                           : mode == Mode::Once ? " only"
                                                                : " torn");
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
