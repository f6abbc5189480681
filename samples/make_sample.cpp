// Build tool: makes the sample database file from its SQL text.
//
//   make_sample SQL_FILE OUTPUT_FILE
//
// The SQL runs in a fresh file beside the output, which then replaces the output in one
// rename, so an interrupted build never leaves a half-made sample behind.
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_sample SQL_FILE OUTPUT_FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "make_sample: cannot read %s\n", argv[1]);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();

    const std::string output = argv[2];
    const std::string partial = output + ".partial";
    std::remove(partial.c_str());

    sqlite3* db = nullptr;
    if (sqlite3_open(partial.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "make_sample: cannot create %s: %s\n", partial.c_str(), sqlite3_errmsg(db));
        sqlite3_close(db);
        return 1;
    }
    char* error = nullptr;
    const int rc = sqlite3_exec(db, text.str().c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "make_sample: %s: %s\n", argv[1], error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        sqlite3_close(db);
        std::remove(partial.c_str());
        return 1;
    }
    sqlite3_close(db);
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::perror("make_sample: rename");
        return 1;
    }
    return 0;
}
