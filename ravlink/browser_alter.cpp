// The table browser's alteration and rebuild: the pending definition of a
// table handle stored in one transaction, with progress callbacks on the
// thread that runs them. A failed or stopped change leaves the table as it
// was; a rebuild copies the rows into a new table swapped in at the end, so
// a process killed during it leaves the old table or the new one, whole.
#include "browser_engine.h"

#include <memory>

using namespace ravlink_detail;
using namespace ravlink_detail::browser;

namespace ravlink_detail {
namespace browser {

namespace {

struct AlterState {
  ZvdbAlterCallback callback = nullptr;
  std::atomic<int32_t> progress{0};
};

struct AlterRegistry {
  std::mutex mutex;
  std::map<ZVTable*, std::shared_ptr<AlterState>> tables;
};

AlterRegistry& alterRegistry() {
  static AlterRegistry* r = new AlterRegistry();
  return *r;
}

std::shared_ptr<AlterState> alterState(ZVTable* t, bool create) {
  std::lock_guard<std::mutex> lock(alterRegistry().mutex);
  auto& tables = alterRegistry().tables;
  auto it = tables.find(t);
  if (it != tables.end()) return it->second;
  if (!create) return nullptr;
  return tables[t] = std::make_shared<AlterState>();
}

// Sets the copy progress hook of this thread for the life of the scope.
class CopyHook {
 public:
  explicit CopyHook(CopyProgress* hook) : saved_(tlsCopyProgress) { tlsCopyProgress = hook; }
  ~CopyHook() { tlsCopyProgress = saved_; }

 private:
  CopyProgress* saved_;
};

// Runs a definition change of t with its progress: 0 before, percentages of
// the rows copied while a copy runs, 100 once stored. A callback answering
// non-zero before the change is stored stops it (RL_BR_STOPPED).
void alterWithProgress(ZVTable* t, const std::function<void()>& change) {
  std::shared_ptr<AlterState> state = alterState(t, true);
  RLHANDLE handle = t->GetHandle();
  auto report = [&](int32_t percent, bool mayStop) {
    if (percent == state->progress.exchange(percent) && percent != 0) return;
    if (state->callback && state->callback(handle) != 0 && mayStop)
      fail(RL_BR_STOPPED, "The alteration of table [" + std::string(t->GetName()) + "] was stopped");
  };
  Access::core(t).requireOpen();
  int64_t total = 1;
  {
    ZVRecord counter(t);
    total = std::max<int64_t>(1, counter.GetRecordCount());
  }
  CopyProgress hook;
  hook.step = std::max<int64_t>(64, total / 100);  // chunks of a copy: at most about 100
  hook.copied = [&](int64_t copied) { report(int32_t(std::min<int64_t>(99, copied * 100 / total)), true); };
  report(0, true);
  {
    CopyHook scope(&hook);
    inOneTransaction(t, change);
  }
  report(100, false);
}

// The handle's pending properties stored with its stored definition.
void storeOpenProps(ZVTable* t) {
  TableCore& core = Access::core(t);
  storeProps(t, *core.conn, core.stored);
}

}  // namespace

void forgetAlter(ZVTable* t) {
  std::lock_guard<std::mutex> lock(alterRegistry().mutex);
  alterRegistry().tables.erase(t);
}

}  // namespace browser
}  // namespace ravlink_detail

namespace {

thread_local ZvdbRebuildCallback tlsRebuildCallback = nullptr;
thread_local int32_t tlsRebuildStep = 0;

}  // namespace

extern "C" {

int32_t rlGetAlterProgress(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  if (!t) return -1;
  auto state = alterState(t, false);
  return state ? state->progress.load() : 0;
}

int32_t zvdbSetCallback(RLHANDLE table, int32_t kind, ZvdbAlterCallback callback) {
  auto t = handleAs<ZVTable>(table);
  return run(t, [&] {
    if (kind != RL_BR_CALLBACK_ALTER) fail(RL_BAD_ARGUMENT, "Unknown callback kind " + std::to_string(kind));
    alterState(t, true)->callback = callback;
  });
}

int32_t zvdbSetCallbackOnRebuild(ZvdbRebuildCallback callback, int32_t step) {
  if (step < 0) return RL_BAD_ARGUMENT;
  tlsRebuildCallback = callback;
  tlsRebuildStep = callback ? step : 0;
  return RL_OK;
}

int32_t zvdbAlterTable(RLHANDLE table, int32_t mode) {
  auto t = handleAs<ZVTable>(table);
  return run(t, [&] {
    alterWithProgress(t, [&] {
      t->Alter(mode);
      storeOpenProps(t);
    });
  });
}

int32_t zvdbUpdateCreateMode(RLHANDLE table, int32_t mode) {
  auto t = handleAs<ZVTable>(table);
  return run(t, [&] {
    alterWithProgress(t, [&] {
      Access::definition(t).createMode = mode & ~(RL_BR_MODE_VRLEN | RL_CREATE_PARTITIONED);
      t->Alter(0);
      storeOpenProps(t);
    });
  });
}

int32_t zvdbUpdatePadChar(RLHANDLE table, char pad, char delimiter, int32_t flags) {
  auto t = handleAs<ZVTable>(table);
  return run(t, [&] {
    if (!t->IsOpen()) fail(RL_NOT_OPEN, "The table is not open");
    TableProps& props = propsOf(t);
    props.pad = pad;
    props.delimiter = delimiter;
    inOneTransaction(t, [&] { storeOpenProps(t); });
  });
}

int32_t zvdbRebuildTable(RLHANDLE table, int32_t mode) {
  auto t = handleAs<ZVTable>(table);
  return run(t, [&] {
    if (mode != 0) fail(RL_BAD_ARGUMENT, "Unknown rebuild mode " + std::to_string(mode));
    TableCore& core = Access::core(t);
    core.requireOpen();
    std::string name = core.stored.name;
    CopyProgress hook;
    hook.step = tlsRebuildStep;
    hook.copied = [&](int64_t copied) { tlsRebuildCallback(int32_t(copied), 'R', name.c_str()); };
    CopyHook scope(tlsRebuildCallback && tlsRebuildStep > 0 ? &hook : nullptr);
    inOneTransaction(t, [&] { rebuildTableInFile(*core.conn, core.stored); });
    core.shared->schemaGen++;
    core.shared->writeGen++;
  });
}

}  // extern "C"
