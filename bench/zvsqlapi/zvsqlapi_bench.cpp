// The SQL client library beside plain SQLite calls on the same file, in the
// same run: a prepared select of 100,000 rows read column by column, and
// 10,000 single-row inserts of a prepared statement (one transaction each
// side, so the figures show the library's own cost, not the disk's).
// Prints rows per second for both and the ratio library / plain.
#include "ravlink.h"
#include "zvsqlapi.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// How much work each figure takes; --smoke shrinks it to a check that the
// benchmark still builds and runs (its figures then mean nothing).
struct Sizes {
  int rows = 100000;
  int inserts = 10000;
  int rounds = 5;
};
Sizes sizes;
const Sizes kSmokeSizes{200, 20, 1};

double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    exit(1);
  }
}

// Reads every row of the select: two integers and a text.
long long plainSelect(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  check(sqlite3_prepare_v2(db, "select id, qty, name from bench", -1, &s, nullptr) == SQLITE_OK, "plain prepare");
  long long sum = 0;
  char name[64];
  while (sqlite3_step(s) == SQLITE_ROW) {
    sum += sqlite3_column_int(s, 0) + sqlite3_column_int(s, 1);
    const unsigned char* t = sqlite3_column_text(s, 2);
    snprintf(name, sizeof name, "%s", t ? reinterpret_cast<const char*>(t) : "");
    sum += name[0];
  }
  sqlite3_finalize(s);
  return sum;
}

long long librarySelect(ZVSQL_CONN conn) {
  ZVSQL_CMD cmd = zvsqlNewCommand(conn);
  check(zvsqlPrepare(cmd, "select id, qty, name from bench") == 0, "library prepare");
  ZVSQL_CURSOR cur = nullptr;
  check(zvsqlExecute(cmd, &cur) == 0, "library execute");
  long long sum = 0;
  char name[64];
  int32_t id, qty;
  while (zvsqlNext(cur) == 0) {
    zvsqlGetInteger(cur, 0, &id);
    zvsqlGetInteger(cur, 1, &qty);
    zvsqlGetChar(cur, 2, name, sizeof name);
    sum += id + qty + name[0];
  }
  zvsqlFreeCursor(cur);
  zvsqlFreeCommand(cmd);
  return sum;
}

void plainInserts(sqlite3* db, int base, const char* table = "ins") {
  sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
  sqlite3_stmt* s = nullptr;
  std::string sql = std::string("insert into ") + table + "(id, qty, name) values(?, ?, ?)";
  check(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK, "plain insert prepare");
  for (int i = 0; i < sizes.inserts; ++i) {
    sqlite3_bind_int(s, 1, base + i);
    sqlite3_bind_int(s, 2, i % 100);
    sqlite3_bind_text(s, 3, "a name of some length", -1, SQLITE_STATIC);
    check(sqlite3_step(s) == SQLITE_DONE, "plain insert");
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
  check(sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) == SQLITE_OK, "plain commit");
}

void libraryInserts(ZVSQL_CONN conn, int base, const char* table = "ins") {
  ZVSQL_CMD cmd = zvsqlNewCommand(conn);
  std::string sql = std::string("insert into ") + table + "(id, qty, name) values(?, ?, ?)";
  check(zvsqlPrepare(cmd, sql.c_str()) == 0, "library insert prepare");
  for (int i = 0; i < sizes.inserts; ++i) {
    zvsqlSetIntegerParameter(cmd, 0, base + i);
    zvsqlSetIntegerParameter(cmd, 1, i % 100);
    zvsqlSetParameterAsString(cmd, 2, "a name of some length");
    ZVSQL_CURSOR cur = nullptr;
    check(zvsqlExecute(cmd, &cur) == 0, "library insert");
    zvsqlFreeCursor(cur);
  }
  zvsqlFreeCommand(cmd);
  check(zvsqlCommit(conn) == 0, "library commit");
}

// Best time of each side, the rounds alternating so that both see the same
// machine; each side prepares its round untimed on its own connection (an
// empty insert table, read into that connection's cache).
template <class Plain, class Library, class PreparePlain, class PrepareLibrary>
void race(Plain&& plain, Library&& library, PreparePlain&& preparePlain, PrepareLibrary&& prepareLibrary,
          double* plainBest, double* libraryBest) {
  *plainBest = *libraryBest = 1e9;
  for (int r = 0; r < sizes.rounds; ++r) {
    preparePlain();
    auto start = std::chrono::steady_clock::now();
    plain();
    *plainBest = std::min(*plainBest, seconds(start));
    prepareLibrary();
    start = std::chrono::steady_clock::now();
    library();
    *libraryBest = std::min(*libraryBest, seconds(start));
  }
}

}  // namespace

int main(int argc, char** argv) {
  check(argc == 2 || (argc == 3 && std::string(argv[2]) == "--smoke"), "usage: zvsqlapi_bench WORKDIR [--smoke]");
  if (argc == 3) sizes = kSmokeSizes;
  setenv("RAVLINK_DATA", argv[1], 1);
  setenv("ZVSQL_SERVER", "BENCH", 1);
  rlCreateServer("BENCH");
  std::string path;
  {
    ZVSession s(2);
    s.Logon("BENCH", "ADMIN", "TRUVE");
    s.CreateDatabase("benchdb", "");
    ZVDatabase db(&s);
    db.Connect("benchdb");
    path = db.GetPath();
    // A table of the engine's: the library checks each value written into it as the engine does.
    ZVTable t(&db);
    t.AddField("id", RL_TYPE_INTEGER, 4);
    t.AddField("qty", RL_TYPE_SMALLINT, 2);
    t.AddField("name", RL_TYPE_VARCHAR_FIXED, 42);
    t.Create("eng", 2);
  }
  sqlite3* plain = nullptr;
  check(sqlite3_open_v2(path.c_str(), &plain, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK, "plain open");
  sqlite3_busy_timeout(plain, 5000);
  const std::string fill =
      "create table bench(id integer primary key, qty integer, name varchar(40));"
      "create table ins(id integer primary key, qty integer, name varchar(40));"
      "begin;"
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
      std::to_string(sizes.rows) +
      ")"
      " insert into bench select i, i % 100, 'name number ' || i from n;"
      "commit;";
  check(sqlite3_exec(plain, fill.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, "fill");
  ZVSQL_CONN conn = zvsqlNewConnection();
  check(zvsqlConnect(conn, "6597@localhost:benchdb", "ADMIN", "TRUVE") == 0, "library connect");

  long long a = 0, b = 0;
  double plainRead, libRead, plainWrite, libWrite;
  race([&] { a = plainSelect(plain); }, [&] { b = librarySelect(conn); }, [] {}, [] {}, &plainRead, &libRead);
  check(a == b, "both reads see the same rows");
  // Each side's insert table, emptied and read into its connection's cache.
  auto emptyPlain = [&](const char* table) {
    std::string sql = std::string("delete from ") + table + "; select count(*) from " + table;
    check(sqlite3_exec(plain, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, "empty");
  };
  auto emptyLibrary = [&](const char* table) {
    ZVSQL_CMD cmd = zvsqlNewCommand(conn);
    check(zvsqlExecuteDirect(cmd, (std::string("delete from ") + table).c_str()) == 0 && zvsqlCommit(conn) == 0,
          "empty");
    check(zvsqlExecuteDirect(cmd, (std::string("select count(*) from ") + table).c_str()) == 0, "count");
    zvsqlFreeCommand(cmd);
  };
  race([&] { plainInserts(plain, 1); }, [&] { libraryInserts(conn, 1); }, [&] { emptyPlain("ins"); },
       [&] { emptyLibrary("ins"); }, &plainWrite, &libWrite);

  double plainEngine, libEngine;
  race([&] { plainInserts(plain, 1, "eng"); }, [&] { libraryInserts(conn, 1, "eng"); }, [&] { emptyPlain("eng"); },
       [&] { emptyLibrary("eng"); }, &plainEngine, &libEngine);

  printf("select of %d rows:     plain SQLite %9.0f rows/s, library %9.0f rows/s, ratio %.2f\n", sizes.rows,
         sizes.rows / plainRead, sizes.rows / libRead, plainRead / libRead);
  printf("%d single-row inserts: plain SQLite %9.0f rows/s, library %9.0f rows/s, ratio %.2f\n", sizes.inserts,
         sizes.inserts / plainWrite, sizes.inserts / libWrite, plainWrite / libWrite);
  printf("%d inserts, engine table: plain SQLite %9.0f rows/s, library %9.0f rows/s, ratio %.2f\n", sizes.inserts,
         sizes.inserts / plainEngine, sizes.inserts / libEngine, plainEngine / libEngine);
  zvsqlFreeConnection(conn);
  sqlite3_close(plain);
  return 0;
}
