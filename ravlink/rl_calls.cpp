// What every exported function goes through: the guard that turns a
// failure into its code (codeOf), the handle look-ups the adapters share,
// and the copy of a text into a caller's buffer.
#include "rl_core.h"

#include <cstring>

namespace ravlink_detail {

Connection* Access::connection(ZVDatabase* d) { return d->conn_.get(); }
ZVDatabase* Access::database(ZVTable* t) { return t->database_; }
TableCore& Access::core(ZVTable* t) { return *t->core_; }
ZVTable* Access::table(ZVField* f) { return f->table_; }
ZVTable* Access::table(ZVIndex* ix) { return ix->table_; }
ZVTable* Access::table(ZVSegment* s) { return s->table_; }
ZVTable* Access::table(ZVRecord* r) {
  TableCore* core = r->state_->table.get();
  return core ? core->object : nullptr;
}
void Access::refreshObjects(ZVTable* t) { t->rebuildObjects(); }
void Access::guard(ZVBase* b, const std::function<void()>& fn, const char* call) {
  guardedCall(b, &b->lastError_, b->logon(), call, fn);
}

int codeOf(ZVBase* object, const std::function<void()>& fn, const char* call) {
  if (!object) return RL_BAD_HANDLE;
  try {
    Access::guard(object, fn, call);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

int copyOut(const std::string& text, char* buffer, int size) {
  if (!buffer || size <= 0) return RL_BAD_ARGUMENT;
  if (text.size() + 1 > size_t(size)) {
    buffer[0] = '\0';
    return RL_VALUE_TOO_LONG;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return RL_OK;
}

RLHANDLE handleFrom(ZVBase* parent, const std::function<RLHANDLE()>& make) {
  if (!parent) return nullptr;
  RLHANDLE result = nullptr;
  codeOf(parent, [&] { result = make(); });
  return result;
}

int catalogWalk(ZVBase* walked, const std::function<bool(ZVString*, ZVString*)>& step, char* nameOut, int nameSize,
                char* pathOut, int pathSize) {
  if (!walked) return RL_BAD_HANDLE;
  try {
    ZVString name, path;
    if (!step(&name, &path)) return RL_NOT_FOUND;
    int rc = copyOut(name.str(), nameOut, nameSize);
    if (rc == RL_OK && pathOut) rc = copyOut(path.str(), pathOut, pathSize);
    if (rc != RL_OK) Access::noteError(walked, rc);  // rlGetError tells why the walk stopped
    return rc;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

namespace {

ZVTable* tableOfObject(ZVBase* b) {
  if (auto* t = dynamic_cast<ZVTable*>(b)) return t;
  if (auto* f = dynamic_cast<ZVField*>(b)) return Access::table(f);
  if (auto* ix = dynamic_cast<ZVIndex*>(b)) return Access::table(ix);
  if (auto* s = dynamic_cast<ZVSegment*>(b)) return Access::table(s);
  if (auto* r = dynamic_cast<ZVRecord*>(b)) return Access::table(r);
  return nullptr;
}

}  // namespace

Held<ZVTable> clientTableOf(RLHANDLE h) {
  auto b = handleAs<ZVBase>(h);
  ZVTable* t = tableOfObject(b);
  return std::move(b).passTo(t);
}

Held<ZVRecord> clientRecord(RLHANDLE h) { return handleAs<ZVRecord>(h); }

}  // namespace ravlink_detail
