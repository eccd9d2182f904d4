// The same record inserts and reads by id as the REST benchmark, through the
// engine's client functions directly: 16 threads, each with its own logon,
// like the REST application's pooled connections. Prints operations per
// second for each: "insert <rate>" and "read <rate>".
#include "ravlink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Worker {
  RLHANDLE table = nullptr, record = nullptr;
  ZVSession* session = nullptr;
  ZVDatabase* database = nullptr;
  std::vector<int64_t> ids;
};

bool open(Worker& w, const char* db) {
  w.session = new ZVSession(2);
  if (rlLogon(w.session->GetHandle(), "BRENLOXS", "ADMIN", "TRUVE") != 0) return false;
  w.database = new ZVDatabase(w.session);
  w.database->Connect(db);
  w.table = rlAllocTable(w.database->GetHandle());
  if (rlOpenTable(w.table, "bench", 0) != 0) return false;
  w.record = rlAllocRecord(w.table);
  return w.record != nullptr;
}

void insertRows(Worker& w, int rows) {
  for (int i = 0; i < rows; ++i) {
    rlBeginTransaction(w.record);
    rlClearRecord(w.record);
    rlSetFieldAsText(w.record, 0, ("device-" + std::to_string(i)).c_str());
    rlSetFieldAsInt64(w.record, 1, i);
    if (rlWriteRecord(w.record) != 0) std::abort();
    int64_t id = 0;
    rlGetRecordId(w.record, &id);
    rlCommitTransaction(w.record);
    w.ids.push_back(id);
  }
}

void readRows(Worker& w) {
  char text[64];
  for (int64_t id : w.ids) {
    if (rlFindRecordById(w.record, id, 0) != 0) std::abort();
    int64_t qty = 0;
    rlGetFieldAsText(w.record, 0, text, sizeof text);
    rlGetFieldAsInt64(w.record, 1, &qty);
  }
}

double run(std::vector<Worker>& workers, void (*work)(Worker&, int), int rows) {
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w, work, rows] { work(w, rows); });
  for (auto& t : threads) t.join();
  return double(workers.size()) * rows / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: direct_bench <database> <threads> <rows per thread>\n");
    return 2;
  }
  int threads = std::atoi(argv[2]), rows = std::atoi(argv[3]);
  std::vector<Worker> workers(static_cast<size_t>(threads));
  for (auto& w : workers)
    if (!open(w, argv[1])) {
      std::fprintf(stderr, "cannot open the bench table\n");
      return 1;
    }
  double inserts = run(workers, insertRows, rows);
  double reads = run(
      workers, [](Worker& w, int) { readRows(w); }, rows);
  std::printf("insert %.0f\nread %.0f\n", inserts, reads);
  for (auto& w : workers) {
    rlFreeRecord(w.record);
    rlFreeTable(w.table);
    delete w.database;
    delete w.session;
  }
  return 0;
}
