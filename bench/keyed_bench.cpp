// Keyed-file benchmark: the same workload on our engine, on SQLite (a
// WITHOUT ROWID table with a BLOB primary key, journal_mode=DELETE) and on
// LMDB, each in a child process of its own so that its peak RSS can be read.
// Every engine gets the same full 378-byte records with 254-byte path-shaped
// keys; each phase is one transaction.
//
//   keyed_bench [--dir DIRECTORY] [--only ours|SQLite|LMDB] [N ...]
//                                                (default N: 300000 1000000)
//
// The files are made in DIRECTORY (default: the working directory) and
// removed afterwards. POSIX only: it forks and reads rusage.
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "store/keyed_store_engine.h"

namespace {

constexpr std::size_t recordLength = 378;
constexpr std::size_t keyLength = 254;

enum Phase {
    insertAscending,
    insertShuffled,
    scan,
    lookup,
    scanLookup,
    rewrite10,
    delete10,
    phaseCount
};
const char* const phaseNames[phaseCount] = {"insert ascending", "insert shuffled",   "ordered scan",
                                            "point lookups",    "scan A + lookup B", "rewrite 10%",
                                            "delete 10%"};

struct Result {
    double seconds[phaseCount] = {};
    double operations[phaseCount] = {};
    double bytesA = 0, bytesB = 0;
    long peakRssKiB = 0;
    int failed = 0;
};

// Record i in key order: "F" + a path under a long shared directory prefix,
// about 73 significant bytes, blank-padded; the data part holds a size, a
// date, a time and a checksum field, then blanks.
// Writes `value` as `width` decimal digits ending just before `end`.
void putDigits(char* end, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void makeRecord(std::uint64_t i, char* out, unsigned generation = 0) {
    static const char prefix[] = "FC:\\PROGRAM FILES\\VENDOR GROUP\\APPLICATION\\MOD";
    std::memset(out, ' ', recordLength);
    char* p = out;
    std::memcpy(p, prefix, sizeof prefix - 1);
    p += sizeof prefix - 1;
    putDigits(p + 3, i / 10000, 3);
    std::memcpy(p + 3, "\\SUB", 4);
    putDigits(p + 9, i / 100 % 100, 2);
    std::memcpy(p + 9, "\\FILE", 5);
    putDigits(p + 21, i, 7);
    std::memcpy(p + 21, ".EXE", 4);
    char* d = out + keyLength;
    putDigits(d + 12, i * 7919 % 100000000, 12);
    std::memcpy(d + 13, "2024", 4);
    putDigits(d + 19, 1 + generation % 12, 2);
    putDigits(d + 21, 1 + i % 28, 2);
    putDigits(d + 30, i * 31 % 24000000, 8);
    putDigits(d + 41, (i * 2654435761u) & 0xffffffffu, 10);
}

// A permutation of 0..n-1 without a table: an affine map modulo n.
struct Permutation {
    std::uint64_t n, a, b;
    Permutation(std::uint64_t count, std::uint64_t seed) : n(count), a(0), b(seed % count) {
        a = (seed * 2654435761ull) % count;
        if (a < 2) {
            a = 2;
        }
        while (gcd(a, n) != 1) {
            ++a;
        }
    }
    static std::uint64_t gcd(std::uint64_t x, std::uint64_t y) {
        while (y) {
            std::uint64_t t = x % y;
            x = y;
            y = t;
        }
        return x;
    }
    std::uint64_t operator()(std::uint64_t i) const { return (a * i + b) % n; }
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double fileBytes(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
}

void fail(Result& r, const char* what) {
    std::fprintf(stderr, "failed: %s\n", what);
    r.failed = 1;
}

// The common driver: `Engine` supplies open/insert/find/update/erase/scan/commit.
template <typename Engine>
void runWorkload(Engine& a, Engine& b, std::uint64_t n, Result& r) {
    std::vector<char> record(recordLength);
    std::vector<char> got(recordLength);
    Permutation shuffle(n, 1234567), probe(n, 7654321), pick(n, 99991);
    double t;

    t = now();
    for (std::uint64_t i = 0; i < n && !r.failed; ++i) {
        makeRecord(i, record.data());
        if (!a.insert(record.data())) {
            fail(r, "insert ascending");
        }
    }
    a.commit();
    r.seconds[insertAscending] = now() - t;
    r.operations[insertAscending] = static_cast<double>(n);
    r.bytesA = fileBytes(a.path) / static_cast<double>(n);

    t = now();
    for (std::uint64_t i = 0; i < n && !r.failed; ++i) {
        makeRecord(shuffle(i), record.data());
        if (!b.insert(record.data())) {
            fail(r, "insert shuffled");
        }
    }
    b.commit();
    r.seconds[insertShuffled] = now() - t;
    r.operations[insertShuffled] = static_cast<double>(n);
    r.bytesB = fileBytes(b.path) / static_cast<double>(n);

    t = now();
    std::uint64_t seen = a.scan([](const char*) { return true; });
    r.seconds[scan] = now() - t;
    r.operations[scan] = static_cast<double>(seen);
    if (seen != n) {
        fail(r, "scan count");
    }

    t = now();
    for (std::uint64_t i = 0; i < n && !r.failed; ++i) {
        makeRecord(probe(i), record.data());
        if (!b.find(record.data(), got.data()) ||
            std::memcmp(got.data(), record.data(), recordLength) != 0) {
            fail(r, "lookup");
        }
    }
    b.commit();
    r.seconds[lookup] = now() - t;
    r.operations[lookup] = static_cast<double>(n);

    t = now();
    bool allFound = true;
    seen = a.scan([&](const char* rec) {
        allFound = allFound && b.find(rec, got.data());
        return true;
    });
    b.commit();
    r.seconds[scanLookup] = now() - t;
    r.operations[scanLookup] = static_cast<double>(seen);
    if (!allFound) {
        fail(r, "scan + lookup");
    }

    t = now();
    std::uint64_t tenth = n / 10;
    for (std::uint64_t i = 0; i < tenth && !r.failed; ++i) {
        makeRecord(pick(i), record.data(), 5);
        if (!b.update(record.data())) {
            fail(r, "rewrite");
        }
    }
    b.commit();
    r.seconds[rewrite10] = now() - t;
    r.operations[rewrite10] = static_cast<double>(tenth);

    t = now();
    for (std::uint64_t i = tenth; i < 2 * tenth && !r.failed; ++i) {
        makeRecord(pick(i), record.data());
        if (!b.erase(record.data())) {
            fail(r, "delete");
        }
    }
    b.commit();
    r.seconds[delete10] = now() - t;
    r.operations[delete10] = static_cast<double>(tenth);
}

// --- our engine ---------------------------------------------------------
struct OurEngine {
    std::unique_ptr<velumtar::KeyedStore> store;
    std::string path;
    explicit OurEngine(const std::string& name) : path(name) {
        velumtar::FileStatus st;
        store = velumtar::openKeyedStore(velumtar::systemPlatform(), path, recordLength, keyLength,
                                         velumtar::KeyedOpenMode::output, st);
        if (!store) {
            std::fprintf(stderr, "open %s: %.2s\n", path.c_str(), st.code);
            std::exit(2);
        }
    }
    bool insert(const char* r) { return store->write(r).isSuccess(); }
    bool find(const char* key, char* out) { return store->readByKey(key, out).isSuccess(); }
    bool update(const char* r) { return store->rewrite(r).isSuccess(); }
    bool erase(const char* key) { return store->deleteRecord(key).isSuccess(); }
    void commit() {
        if (!store->commit().isSuccess()) {
            std::fprintf(stderr, "commit failed\n");
            std::exit(2);
        }
    }
    template <typename F>
    std::uint64_t scan(F each) {
        std::vector<char> r(recordLength);
        std::string low(keyLength, '\0');
        std::uint64_t count = 0;
        velumtar::FileStatus st = store->startAt(low.data(), r.data());
        while (st.isSuccess()) {
            each(r.data());
            ++count;
            st = store->readNext(r.data());
        }
        return count;
    }
    void close() { (void)store->close(); }
};

// --- SQLite -------------------------------------------------------------
struct SqliteEngine {
    sqlite3* db = nullptr;
    sqlite3_stmt *ins = nullptr, *sel = nullptr, *upd = nullptr, *del = nullptr;
    std::string path;
    explicit SqliteEngine(const std::string& name) : path(name) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
            std::exit(2);
        }
        exec("PRAGMA journal_mode=DELETE");
        exec("CREATE TABLE t(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
        sqlite3_prepare_v2(db, "INSERT INTO t(k, v) VALUES(?, ?)", -1, &ins, nullptr);
        sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k = ?", -1, &sel, nullptr);
        sqlite3_prepare_v2(db, "UPDATE t SET v = ? WHERE k = ?", -1, &upd, nullptr);
        sqlite3_prepare_v2(db, "DELETE FROM t WHERE k = ?", -1, &del, nullptr);
        exec("BEGIN");
    }
    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
            std::exit(2);
        }
    }
    bool step(sqlite3_stmt* s, int want) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == want;
    }
    bool insert(const char* r) {
        sqlite3_bind_blob(ins, 1, r, keyLength, SQLITE_STATIC);
        sqlite3_bind_blob(ins, 2, r + keyLength, recordLength - keyLength, SQLITE_STATIC);
        return step(ins, SQLITE_DONE);
    }
    bool find(const char* key, char* out) {
        sqlite3_bind_blob(sel, 1, key, keyLength, SQLITE_STATIC);
        bool found = sqlite3_step(sel) == SQLITE_ROW;
        if (found) {
            std::memcpy(out, key, keyLength);
            std::memcpy(out + keyLength, sqlite3_column_blob(sel, 0), recordLength - keyLength);
        }
        sqlite3_reset(sel);
        return found;
    }
    bool update(const char* r) {
        sqlite3_bind_blob(upd, 1, r + keyLength, recordLength - keyLength, SQLITE_STATIC);
        sqlite3_bind_blob(upd, 2, r, keyLength, SQLITE_STATIC);
        return step(upd, SQLITE_DONE) && sqlite3_changes(db) == 1;
    }
    bool erase(const char* key) {
        sqlite3_bind_blob(del, 1, key, keyLength, SQLITE_STATIC);
        return step(del, SQLITE_DONE) && sqlite3_changes(db) == 1;
    }
    void commit() {
        exec("COMMIT");
        exec("BEGIN");
    }
    template <typename F>
    std::uint64_t scan(F each) {
        sqlite3_stmt* s;
        sqlite3_prepare_v2(db, "SELECT k, v FROM t ORDER BY k", -1, &s, nullptr);
        std::vector<char> r(recordLength);
        std::uint64_t count = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::memcpy(r.data(), sqlite3_column_blob(s, 0), keyLength);
            std::memcpy(r.data() + keyLength, sqlite3_column_blob(s, 1), recordLength - keyLength);
            each(r.data());
            ++count;
        }
        sqlite3_finalize(s);
        return count;
    }
    void close() {
        exec("COMMIT");
        for (sqlite3_stmt* s : {ins, sel, upd, del}) {
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
    }
};

// --- LMDB ---------------------------------------------------------------
struct LmdbEngine {
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    std::string path;
    explicit LmdbEngine(const std::string& name) : path(name) {
        mdb_env_create(&env);
        mdb_env_set_mapsize(env, std::size_t{16} << 30);
        if (mdb_env_open(env, path.c_str(), MDB_NOSUBDIR, 0644) != 0) {
            std::exit(2);
        }
        begin();
    }
    void begin() {
        mdb_txn_begin(env, nullptr, 0, &txn);
        mdb_dbi_open(txn, nullptr, 0, &dbi);
    }
    bool insert(const char* r) {
        MDB_val k{keyLength, const_cast<char*>(r)};
        MDB_val v{recordLength - keyLength, const_cast<char*>(r + keyLength)};
        return mdb_put(txn, dbi, &k, &v, MDB_NOOVERWRITE) == 0;
    }
    bool find(const char* key, char* out) {
        MDB_val k{keyLength, const_cast<char*>(key)}, v;
        if (mdb_get(txn, dbi, &k, &v) != 0) {
            return false;
        }
        std::memcpy(out, key, keyLength);
        std::memcpy(out + keyLength, v.mv_data, v.mv_size);
        return true;
    }
    bool update(const char* r) {
        MDB_val k{keyLength, const_cast<char*>(r)}, v;
        if (mdb_get(txn, dbi, &k, &v) != 0) {
            return false;
        }
        v = MDB_val{recordLength - keyLength, const_cast<char*>(r + keyLength)};
        return mdb_put(txn, dbi, &k, &v, 0) == 0;
    }
    bool erase(const char* key) {
        MDB_val k{keyLength, const_cast<char*>(key)};
        return mdb_del(txn, dbi, &k, nullptr) == 0;
    }
    void commit() {
        if (mdb_txn_commit(txn) != 0) {
            std::exit(2);
        }
        begin();
    }
    template <typename F>
    std::uint64_t scan(F each) {
        MDB_cursor* c;
        mdb_cursor_open(txn, dbi, &c);
        MDB_val k, v;
        std::vector<char> r(recordLength);
        std::uint64_t count = 0;
        for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0;
             rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
            std::memcpy(r.data(), k.mv_data, k.mv_size);
            std::memcpy(r.data() + keyLength, v.mv_data, v.mv_size);
            each(r.data());
            ++count;
        }
        mdb_cursor_close(c);
        return count;
    }
    void close() {
        mdb_txn_commit(txn);
        mdb_env_close(env);
    }
};

template <typename Engine>
void runEngine(const char* suffix, std::uint64_t n, Result& r) {
    std::string pathA = std::string("BENCHA.") + suffix, pathB = std::string("BENCHB.") + suffix;
    std::remove(pathA.c_str());
    std::remove(pathB.c_str());
    {
        Engine a(pathA), b(pathB);
        runWorkload(a, b, n, r);
        a.close();
        b.close();
    }
    std::remove(pathA.c_str());
    std::remove(pathB.c_str());
    std::remove((pathA + "-lock").c_str());
    std::remove((pathB + "-lock").c_str());
}

// Runs one engine in a child process; its peak RSS comes from wait4.
Result runChild(int engine, const std::string& dir, std::uint64_t n) {
    int fds[2];
    Result r;
    if (::pipe(fds) != 0) {
        r.failed = 1;
        return r;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Result mine;
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(1);
        }
        if (engine == 0) {
            runEngine<OurEngine>("DBI", n, mine);
        } else if (engine == 1) {
            runEngine<SqliteEngine>("sqlite", n, mine);
        } else {
            runEngine<LmdbEngine>("mdb", n, mine);
        }
        ssize_t written = ::write(fds[1], &mine, sizeof mine);
        ::_exit(written == static_cast<ssize_t>(sizeof mine) ? 0 : 1);
    }
    ::close(fds[1]);
    ssize_t got = ::read(fds[0], &r, sizeof r);
    ::close(fds[0]);
    int wstatus = 0;
    struct rusage usage {};
    ::wait4(pid, &wstatus, 0, &usage);
    if (got != static_cast<ssize_t>(sizeof r) || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        r.failed = 1;
    }
    r.peakRssKiB = usage.ru_maxrss;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    std::string only;
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            sizes.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (sizes.empty()) {
        sizes = {300000, 1000000};
    }
    int status = 0;
    for (std::uint64_t n : sizes) {
        Result results[3];
        const char* names[3] = {"ours", "SQLite", "LMDB"};
        for (int e = 0; e < 3; ++e) {
            if (!only.empty() && only != names[e]) {
                continue;
            }
            results[e] = runChild(e, dir, n);
            if (results[e].failed) {
                std::printf("%s failed at N = %llu\n", names[e],
                            static_cast<unsigned long long>(n));
                status = 1;
            }
        }
        std::printf("\nN = %llu (records of 378 bytes, 254-byte keys; ops per second)\n",
                    static_cast<unsigned long long>(n));
        std::printf("%-20s %12s %12s %12s %12s %12s\n", "operation", "ours", "SQLite", "LMDB",
                    "ours/SQLite", "ours/LMDB");
        for (int p = 0; p < phaseCount; ++p) {
            double rate[3];
            for (int e = 0; e < 3; ++e) {
                rate[e] = results[e].seconds[p] > 0
                              ? results[e].operations[p] / results[e].seconds[p]
                              : 0;
            }
            std::printf("%-20s %12.0f %12.0f %12.0f %12.2f %12.2f\n", phaseNames[p], rate[0],
                        rate[1], rate[2], rate[1] > 0 ? rate[0] / rate[1] : 0,
                        rate[2] > 0 ? rate[0] / rate[2] : 0);
        }
        std::printf("%-20s %12.1f %12.1f %12.1f\n", "bytes/rec A (asc)", results[0].bytesA,
                    results[1].bytesA, results[2].bytesA);
        std::printf("%-20s %12.1f %12.1f %12.1f\n", "bytes/rec B (shuf)", results[0].bytesB,
                    results[1].bytesB, results[2].bytesB);
        std::printf("%-20s %12.1f %12.1f %12.1f\n", "peak RSS MiB", results[0].peakRssKiB / 1024.0,
                    results[1].peakRssKiB / 1024.0, results[2].peakRssKiB / 1024.0);
        std::fflush(stdout);
    }
    return status;
}
