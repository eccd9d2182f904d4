// Inserts and indexed reads through the engine next to plain SQLite doing
// the same work on the same table shape (record id with AUTOINCREMENT, a
// text, an integer with a non-unique index, a blob), both in WAL mode with
// synchronous=NORMAL. Prints rates and the engine/SQLite ratio.
#include "ravlink.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How much work each figure takes; --smoke shrinks it to a check that the
// benchmark still builds and runs (its figures then mean nothing).
struct Sizes {
  int singleRows = 3000;
  int batches = 60;
  int batchRows = 1000;
  int readRuns = 10;
  int readRows = 10000;
  int repeats = 7;
};
Sizes sizes;
const Sizes kSmokeSizes{30, 2, 50, 2, 20, 1};

// Where read run `run` starts: qty is the row number modulo 5000, so a start
// past the rows written would find nothing.
int readStart(int run) { return run * 300 % std::min(5000, sizes.batches * sizes.batchRows); }

double seconds(const std::function<void()>& work) {
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of a few runs of each, engine and SQLite taking turns so that a busy
// machine slows both alike; every run starts from a fresh file.
void bestRates(const std::function<double()>& engine, const std::function<double()>& plain, double* e, double* p) {
  *e = *p = 0;
  for (int i = 0; i < sizes.repeats; ++i) {
    *e = std::max(*e, engine());
    *p = std::max(*p, plain());
  }
}

std::string nameOf(int i) { return "device-" + std::to_string(i); }
const char kPayload[] = "0123456789abcdef0123456789abcdef";

// ---- plain SQLite ------------------------------------------------------------

struct Plain {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  explicit Plain(const std::string& file) {
    remove(file.c_str());
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE items(rl_recid INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR, qty INTEGER,"
                 " payload BLOB);"
                 "CREATE INDEX items_qty ON items(qty);",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO items(name, qty, payload) VALUES(?1, ?2, ?3)", -1, &insert, nullptr);
  }
  ~Plain() {
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  void add(int i) {
    std::string name = nameOf(i);
    sqlite3_bind_text(insert, 1, name.data(), int(name.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, i % 5000);
    sqlite3_bind_blob(insert, 3, kPayload, sizeof kPayload - 1, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) abort();
    sqlite3_reset(insert);
  }
};

double plainSingle(const std::string& dir) {
  Plain p(dir + "/plain.db");
  return sizes.singleRows / seconds([&] {
           for (int i = 0; i < sizes.singleRows; ++i) p.add(i);
         });
}

double plainBatched(const std::string& dir) {
  Plain p(dir + "/plain.db");
  return sizes.batches * sizes.batchRows / seconds([&] {
           for (int b = 0; b < sizes.batches; ++b) {
             sqlite3_exec(p.db, "BEGIN", nullptr, nullptr, nullptr);
             for (int i = 0; i < sizes.batchRows; ++i) p.add(b * sizes.batchRows + i);
             sqlite3_exec(p.db, "COMMIT", nullptr, nullptr, nullptr);
           }
         });
}

double plainReads(const std::string& dir) {
  Plain p(dir + "/plain.db");
  sqlite3_exec(p.db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < sizes.batches * sizes.batchRows; ++i) p.add(i);
  sqlite3_exec(p.db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(p.db, "SELECT name, qty, payload, rowid FROM items WHERE qty >= ?1 ORDER BY qty, rowid", -1, &st,
                     nullptr);
  long checksum = 0;
  double rate =
      sizes.readRuns * double(sizes.readRows) / seconds([&] {
        for (int run = 0; run < sizes.readRuns; ++run) {
          sqlite3_bind_int(st, 1, readStart(run));
          for (int n = 0; n <= sizes.readRows && sqlite3_step(st) == SQLITE_ROW; ++n) {
            // The caller keeps the values it reads, as it does through the engine.
            std::string name(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_bytes(st, 0));
            int qty = sqlite3_column_int(st, 1);
            std::string payload(static_cast<const char*>(sqlite3_column_blob(st, 2)), sqlite3_column_bytes(st, 2));
            checksum += long(name.size()) + qty + long(payload.size());
          }
          sqlite3_reset(st);
        }
      });
  sqlite3_finalize(st);
  if (checksum == 42) printf(" ");
  return rate;
}

// ---- the engine ----------------------------------------------------------------

struct Engine {
  ZVSession session{2};
  std::unique_ptr<ZVDatabase> database;
  std::unique_ptr<ZVTable> table;
  std::unique_ptr<ZVRecord> record;
  explicit Engine(const std::string& dir) {
    static int round = 0;
    std::string server = "BENCH" + std::to_string(round++);
    setenv("RAVLINK_DATA", dir.c_str(), 1);
    rlCreateServer(server.c_str());
    session.Logon(server.c_str(), "ADMIN", "TRUVE");
    session.CreateDatabase("bench", "");
    database = std::make_unique<ZVDatabase>(&session);
    database->Connect("bench");
    ZVTable def(database.get());
    rlSetFieldBinaryFlag(def.AddField("name", 146, 64)->GetHandle(), 4);
    def.AddField("qty", 51, 4);
    def.AddField("payload", 170, 0);
    def.AddIndex("items_qty", 0, 1, 0)->AddSegment(def.GetField("qty"), 12);
    def.Create("items", 2);
    table = std::make_unique<ZVTable>(database.get());
    table->Open("items", 0);
    record = std::make_unique<ZVRecord>(table.get());
  }
  void add(int i) {
    std::string name = nameOf(i);
    record->Clear();
    record->SetFieldAsString("name", name.c_str());
    record->SetFieldAsSigned("qty", i % 5000);
    record->SetFieldAsBlob("payload", kPayload, sizeof kPayload - 1);
    record->Write();
  }
};

double engineSingle(const std::string& dir) {
  Engine e(dir);
  return sizes.singleRows / seconds([&] {
           for (int i = 0; i < sizes.singleRows; ++i) e.add(i);
         });
}

double engineBatched(const std::string& dir) {
  Engine e(dir);
  return sizes.batches * sizes.batchRows / seconds([&] {
           for (int b = 0; b < sizes.batches; ++b) {
             e.record->Begin();
             for (int i = 0; i < sizes.batchRows; ++i) e.add(b * sizes.batchRows + i);
             e.record->Commit();
           }
         });
}

double engineReads(const std::string& dir) {
  Engine e(dir);
  e.record->Begin();
  for (int i = 0; i < sizes.batches * sizes.batchRows; ++i) e.add(i);
  e.record->Commit();
  ZVRecord& r = *e.record;
  long checksum = 0;
  return sizes.readRuns * double(sizes.readRows) / seconds([&] {
           for (int run = 0; run < sizes.readRuns; ++run) {
             r.Clear();
             r.SetFieldAsSigned("qty", readStart(run));
             if (!r.Find(RL_FIND_GE)) abort();
             for (int n = 0; n < sizes.readRows && r.Next(); ++n) {
               checksum += long(r.GetFieldAsString("name").size());
               checksum += r.GetFieldAsSigned("qty");
               checksum += long(r.GetFieldAsBlob("payload").GetSize());
             }
           }
           if (checksum == 42) printf(" ");
         });
}

void report(const char* what, double engine, double plain) {
  printf("%-46s engine %10.0f/s   sqlite %10.0f/s   ratio %.2f\n", what, engine, plain, engine / plain);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args.back() == "--smoke") {
    sizes = kSmokeSizes;
    args.pop_back();
  }
  if (args.empty()) {
    fprintf(stderr, "usage: %s <empty work directory> [single|batch|reads] [--smoke]\n", argv[0]);
    return 2;
  }
  std::string dir = args[0];
  std::string only = args.size() > 1 ? args[1] : "";  // "single", "batch" or "reads" to run one part
  try {
    if (!only.empty() && only != "single") goto batch;
    {
      double es, ps;
      bestRates([&] { return engineSingle(dir); }, [&] { return plainSingle(dir); }, &es, &ps);
      report("inserts, single rows in auto-commit", es, ps);
    }
  batch:
    if (!only.empty() && only != "batch") goto reads;
    {
      double eb, pb;
      bestRates([&] { return engineBatched(dir); }, [&] { return plainBatched(dir); }, &eb, &pb);
      report(("inserts, batches of " + std::to_string(sizes.batchRows) + " in one transaction").c_str(), eb, pb);
    }
  reads:
    if (!only.empty() && only != "reads") return 0;
    {
      double er, pr;
      bestRates([&] { return engineReads(dir); }, [&] { return plainReads(dir); }, &er, &pr);
      report(("indexed reads, Find then " + std::to_string(sizes.readRows) + " Next").c_str(), er, pr);
    }
  } catch (const ZVException& e) {
    fprintf(stderr, "engine error %d: %s\n", e.GetErrorCode(), e.GetErrorMsg());
    return 1;
  }
  return 0;
}
