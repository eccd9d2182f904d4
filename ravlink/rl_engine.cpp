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

}  // namespace ravlink_detail
