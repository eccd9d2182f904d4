// Exported functions on sessions, databases, transactions and options:
// thin adapters over the session and database classes.
#include "rl_core.h"

#include <cstdlib>

using namespace ravlink_detail;

namespace {

int databaseWalk(RLHANDLE session, bool first, char* name, int nameSize, char* path, int pathSize) {
  auto s = handleAs<ZVSession>(session);
  return catalogWalk(
      s, [&](ZVString* n, ZVString* p) { return first ? s->FirstDatabase(n, p) : s->NextDatabase(n, p); }, name,
      nameSize, path, pathSize);
}

}  // namespace

extern "C" {

RLHANDLE rlAllocSession(int type) {
  try {
    return (new ZVSession(type))->GetHandle();
  } catch (const std::exception&) {
    return nullptr;
  }
}

void rlFreeSession(RLHANDLE session) {
  auto s = handleAs<ZVSession>(session);
  s.destroy();
}

int rlLogon(RLHANDLE session, const char* server, const char* user, const char* password) {
  auto s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->Logon(server, user, password); });
}

int rlCreateServer(const char* server) {
  try {
    createServer(server);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  } catch (const std::exception&) {
    return RL_STORAGE_ERROR;
  }
}

int rlCreateSession(RLHANDLE session, const char* server, const char* user, const char* password) {
  auto s = handleAs<ZVSession>(session);
  if (!s) return RL_BAD_HANDLE;
  return codeOf(s, [&] { createServer(server, user ? user : "", password ? password : ""); });
}

int rlLogout(RLHANDLE session) {
  auto s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->Logout(); });
}

int zvdbIsActiveSession(RLHANDLE handle) {
  auto b = handleAs<ZVBase>(handle);
  if (!b) return 0;
  Logon* logon = Access::logon(b);
  return logon && logon->loggedOn ? 1 : 0;
}

int rlCreateDatabase(RLHANDLE session, const char* name, int mode) {
  auto s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->CreateDatabase(name, ""); });
}

int rlDeleteDatabase(RLHANDLE session, const char* name) {
  auto s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->DeleteDatabase(name); });
}

int rlFirstDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize) {
  return databaseWalk(session, true, name, nameSize, path, pathSize);
}

int rlNextDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize) {
  return databaseWalk(session, false, name, nameSize, path, pathSize);
}

int rlGetError(RLHANDLE handle) {
  auto b = handleAs<ZVBase>(handle);
  return b ? b->GetError() : RL_BAD_HANDLE;
}

int rlStartClient(void) { return RL_OK; }

void* rlAllocMemory(int count, int size) {
  if (count <= 0 || size <= 0) return nullptr;
  return std::calloc(size_t(count), size_t(size));
}

void rlFreeMemory(void* block) { std::free(block); }

int rlBeginTransaction(RLHANDLE handle) {
  auto b = handleAs<ZVBase>(handle);
  return codeOf(b, [&] { b->Begin(); });
}

int rlCommitTransaction(RLHANDLE handle) {
  auto b = handleAs<ZVBase>(handle);
  return codeOf(b, [&] { commitTransaction(b); });
}

int rlAbortTransaction(RLHANDLE handle) {
  auto b = handleAs<ZVBase>(handle);
  return codeOf(b, [&] { abortTransaction(b); });
}

int rlSetClientOption(int option, const char* value) { return setClientOption(option, value ? value : ""); }

int32_t rlGetCurrentOwner(void) { return currentOwner(); }

int rlSetCurrentOwner(int32_t owner) { return setCurrentOwner(owner); }

}  // extern "C"
