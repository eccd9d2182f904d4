// A session's transaction across its connections (commit, abort, end of
// logon) and the scope of one write, which joins it or commits on its own.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- logons -------------------------------------------------------------------

Logon::~Logon() { end(); }

void Logon::commitAll() {
  auto conns = std::move(txnConns);
  txnConns.clear();
  explicitTxn = false;
  auto redefined = std::move(redefinedInTransaction);
  redefinedInTransaction.clear();
  std::string error;
  int code = 0;
  for (auto& c : conns) {
    try {
      c->commit();
    } catch (const ZVException& e) {
      c->rollback();
      if (!code) code = e.GetErrorCode(), error = e.GetErrorMsg();
    }
  }
  if (code) {
    forgetDefinitions(redefined);
    fail(code, error);
  }
}

void Logon::abortAll() {
  auto conns = std::move(txnConns);
  txnConns.clear();
  explicitTxn = false;
  for (auto& c : conns) c->rollback();
  auto redefined = std::move(redefinedInTransaction);
  redefinedInTransaction.clear();
  forgetDefinitions(redefined);
}

// The definitions read from these tables are no longer the stored ones.
void Logon::forgetDefinitions(const std::vector<std::shared_ptr<TableShared>>& tables) {
  for (const auto& shared : tables) {
    shared->schemaGen++;
    shared->writeGen++;
  }
}

void Logon::end() {
  if (loggedOn) monitor::logonEnded(*this);
  abortAll();
  for (auto& [path, weak] : conns)
    if (auto conn = weak.lock()) conn->parkWalks();  // records outliving the logon hold no read open
  engine().locks.releaseAll(id);
  if (owner >= 0) {
    std::lock_guard<std::mutex> lock(engine().mutex);
    engine().owners.erase(owner);
  }
  owner = -1;
  loggedOn = false;
}

// ---- writes -------------------------------------------------------------------

WriteScope::WriteScope(Connection& conn, bool severalStatements) : conn_(conn) {
  Logon& logon = *conn.logon;
  logon.requireLoggedOn();
  conn.parkWalks();  // else an auto-commit write would wait for the walks' read to end
  if (conn.txnOpen) return;
  if (logon.explicitTxn || !logon.autoCommit) {
    conn.beginWrite();
    logon.txnConns.push_back(logon.conns[conn.path].lock());
    return;
  }
  if (severalStatements) {
    conn.beginWrite();
    local_ = true;
    return;
  }
  conn.takeWriterTurn();  // the statement commits on its own: its turn ends with it
}

void WriteScope::done() {
  conn_.txnWrote = true;
  if (local_) {
    // Finished only once the commit went through: a failed COMMIT leaves
    // the transaction to the destructor's rollback, else it would stay
    // marked open and later writes of the session would skip BEGIN.
    conn_.commit();  // notifies
    finished_ = true;
    return;
  }
  finished_ = true;
  conn_.noteWrite();
  if (!conn_.txnOpen) {
    conn_.endWriterTurn();
    conn_.file->notifyCommit();
  }
}

WriteScope::~WriteScope() {
  if (local_ && !finished_) conn_.rollback();
  if (!conn_.txnOpen) conn_.endWriterTurn();
}

void commitTransaction(ZVBase* object) {
  Logon* logon = Access::logon(object);
  if (!logon || !logon->inTransaction()) fail(RL_NO_TRANSACTION, "No transaction to commit");
  object->Commit();
}

void abortTransaction(ZVBase* object) {
  Logon* logon = Access::logon(object);
  if (!logon || !logon->inTransaction()) fail(RL_NO_TRANSACTION, "No transaction to abort");
  object->Abort();
}

}  // namespace ravlink_detail
