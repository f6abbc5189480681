// The connection cache: what a cache hit costs (Connect hands out an idle connection, Cache
// takes it back) against opening a new connection to the same file and closing it, which is
// what every statement would pay without the cache.
//
//   bench_cache [hits] [opens]     default 1,000,000 hits and 2,000 opens
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "OrvOleDb.h"

namespace {

using Clock = std::chrono::steady_clock;

void MakeDatabase(const std::string& path) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* error = nullptr;
    if (sqlite3_exec(db, "CREATE TABLE parts(id INTEGER PRIMARY KEY, name TEXT(50))", nullptr, nullptr, &error) !=
        SQLITE_OK) {
        std::fprintf(stderr, "setup failed: %s\n", error);
        std::exit(1);
    }
    sqlite3_close(db);
}

// Nanoseconds per Connect + Cache of an idle connection.
double CacheHits(OrvOleDbConnectionCache* cache, const CComBSTR& init, long count) {
    OrvOleDbConnection* warm = cache->Connect(init, false);
    if (!warm) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    cache->Cache(warm);
    auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        OrvOleDbConnection* c = cache->Connect(init, false);
        cache->Cache(c);
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    cache->ClearCache(init);
    return ns / static_cast<double>(count);
}

// Nanoseconds per new connection opened and destroyed.
double Opens(const CComBSTR& init, long count) {
    auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        OrvOleDbConnection* c = new OrvOleDbConnection;
        if (c->OpenFromInitializationString(init, false) != S_OK) {
            std::fprintf(stderr, "open failed\n");
            std::exit(1);
        }
        c->Close();
        delete c;
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return ns / static_cast<double>(count);
}

}  // namespace

int main(int argc, char** argv) {
    long hits = argc > 1 ? std::atol(argv[1]) : 1000000;
    long opens = argc > 2 ? std::atol(argv[2]) : 2000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    std::string path =
        (std::filesystem::temp_directory_path() / ("bench_cache_" + std::to_string(getpid()) + ".mdb")).string();
    MakeDatabase(path);
    std::u16string text = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(path) + u";";
    CComBSTR init(text.c_str());

    OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
    if (!cache) {
        std::fprintf(stderr, "no connection cache\n");
        return 1;
    }
    Opens(init, opens / 10 + 1);  // warm the file cache and the provider
    double hit = CacheHits(cache, init, hits);
    double open = Opens(init, opens);

    std::printf("cache hit (Connect + Cache)        %10.1f ns   (%ld times)\n", hit, hits);
    std::printf("new connection (open + close)      %10.1f ns   (%ld times)\n", open, opens);
    std::printf("a hit is %.0fx cheaper than an open\n", open / hit);

    std::filesystem::remove(path);
    CoUninitialize();
    return 0;
}
