// The process-wide state: the engine's files, their tables' shared
// generations and the table numbers (datnos) handed out for them.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- process-wide state ---------------------------------------------------

Engine& engine() {
  static Engine* instance = new Engine;  // never destroyed: sessions may end during exit
  return *instance;
}

std::shared_ptr<FileShared> Engine::file(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = files[path];
  if (!slot) {
    slot = std::make_shared<FileShared>();
    slot->path = path;
  }
  return slot;
}

bool Engine::fileInUse(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = files.find(path);
  return it != files.end() && it->second->connections.load() > 0;
}

std::shared_ptr<TableShared> Engine::table(const std::string& path, const std::string& name) {
  auto f = file(path);
  std::shared_ptr<TableShared> t = f->table(name);
  if (t->datno == 0) {
    std::lock_guard<std::mutex> lock(mutex);
    if (t->datno == 0) {
      t->datno = nextDatno++;
      datnos[t->datno] = {f, name};
    }
  }
  return t;
}

bool Engine::lookupDatno(int32_t datno, std::string* path, std::string* table) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = datnos.find(datno);
  if (it == datnos.end()) return false;
  *path = it->second.first->path;
  *table = it->second.second;
  return true;
}

std::shared_ptr<TableShared> FileShared::table(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = tables[name];
  if (!slot) slot = std::make_shared<TableShared>();
  return slot;
}

void FileShared::notifyCommit() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++commitSeq;
  }
  committed.notify_all();
}

// How long the writer next in line waits awake: a turn is a transaction of
// a few pages, some tens of microseconds. A longer turn (a transaction the
// client keeps open) is waited for asleep.
constexpr auto kAwakeWait = std::chrono::microseconds(100);

bool WriterTurns::tryTake() { return !taken_.load(std::memory_order_relaxed) && !taken_.exchange(true); }

static void pauseBriefly() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Waits awake until the turn is taken by this writer or `until` passes.
bool WriterTurns::spinFor(std::chrono::steady_clock::time_point until) {
  for (int round = 1;; ++round) {
    if (tryTake()) return true;
    if (round % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
    pauseBriefly();
  }
}

void WriterTurns::wakeOne() {
  if (sleepers_.load() == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);  // a sleeper between its check and its wait is not missed
  woken_.notify_one();
}

bool WriterTurns::take(std::chrono::steady_clock::time_point deadline) {
  uint64_t awakeInTurn = ~uint64_t(0);  // the turn during which this writer last waited awake
  for (;;) {
    if (tryTake()) return true;
    uint64_t turn = turnsEnded_.load();
    if (turn != awakeInTurn && !nextAwake_.exchange(true)) {
      awakeInTurn = turn;
      bool got = spinFor(std::min(deadline, std::chrono::steady_clock::now() + kAwakeWait));
      nextAwake_ = false;
      if (got) return true;
    }
    // Asleep until the turn ends, or until the place of the writer waiting
    // awake is free; a writer that waited awake through the whole of a long
    // turn waits for its end asleep.
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    bool ready = woken_.wait_until(
        lock, deadline, [&] { return !taken_ || (!nextAwake_ && turnsEnded_.load() != awakeInTurn); });
    --sleepers_;
    if (!ready) return false;
  }
}

void WriterTurns::end() {
  ++turnsEnded_;
  taken_ = false;
  // Taken at once by the writer waiting awake, if there is one: a sleeper
  // woken now takes its place, and the cost of waking it falls outside
  // anybody's turn.
  wakeOne();
}

}  // namespace ravlink_detail
