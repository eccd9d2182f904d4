// Plain SQLite baseline: the benchmark's rows (six values and a time stamp)
// inserted with a prepared statement into a WAL database with synchronous
// NORMAL, 512 rows per transaction (the batch a persistence thread commits).
// The table has the persisted topic's shape: an AUTOINCREMENT key, the six
// columns and a time stamp with its index.
//
//   sqlite_baseline PATH ROWS
// Prints "rows N seconds S cpu C rate R" (C: the process's CPU seconds).
#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "rows.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: sqlite_baseline PATH ROWS\n");
    return 2;
  }
  long rows = atol(argv[2]);
  sqlite3* db = nullptr;
  if (sqlite3_open(argv[1], &db) != SQLITE_OK) return 1;
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE IF NOT EXISTS bench(rl_recid INTEGER PRIMARY KEY AUTOINCREMENT, id BIGINT, count INTEGER, "
               "temp DOUBLE, humidity DOUBLE,"
               " name VARCHAR(32), stamp BIGINT, ts TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now')));"
               "CREATE INDEX IF NOT EXISTS bench_ts ON bench(ts);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO bench(id, count, temp, humidity, name, stamp) VALUES(?,?,?,?,?,?)", -1, &insert,
                     nullptr);
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < rows; i++) {
    if (i % 512 == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    BenchRow r = benchRow(i);
    sqlite3_bind_int64(insert, 1, r.id);
    sqlite3_bind_int(insert, 2, r.count);
    sqlite3_bind_double(insert, 3, r.temp);
    sqlite3_bind_double(insert, 4, r.humidity);
    sqlite3_bind_text(insert, 5, r.name, -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 6, r.stamp);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if (i % 512 == 511 || i == rows - 1) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sqlite3_finalize(insert);
  sqlite3_close(db);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("rows %ld seconds %.3f cpu %.3f rate %.0f\n", rows, seconds, cpu, rows / seconds);
  return 0;
}
