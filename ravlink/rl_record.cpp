// Records: the buffer, walks over the default index (keyset ranges whose
// statements keep stepping between moves), writes, locks and blocking reads.
// The record class over this state is in rl_record_class.cpp.
#include "rl_core.h"

#include <algorithm>
#include <cstring>

using namespace ravlink_detail;

namespace {

// A walk seeks again from its position after this many rows even when
// nothing in the process wrote, so that writes by other processes show up
// and the file's older views are let go.
const size_t kRowsPerSeek = 1024;

struct KeyShape {
  std::vector<std::string> columns;  // quoted; the record id last
  std::vector<bool> descending;
  std::vector<bool> null;      // the bound value is NULL
  std::vector<bool> nullable;  // false for the record id
};

std::string param(size_t i) { return "?" + std::to_string(i + 1); }

std::string equalTerm(const KeyShape& k, size_t i) {
  return k.null[i] ? k.columns[i] + " IS NULL" : k.columns[i] + " = " + param(i);
}

std::string equalPrefix(const KeyShape& k, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += (i ? " AND " : "") + equalTerm(k, i);
  return out;
}

std::string joined(const std::string& prefix, const std::string& term) {
  return prefix.empty() ? term : prefix + " AND " + term;
}

// The rows strictly beyond the first `n` key columns in walk order, as
// conditions that are each one index range, in the order the walk meets
// them: the last column's range first (the columns before it equal), the
// first column's last. NULL sorts before every value, so a column walked
// towards larger values has passed its NULLs already, and one walked towards
// smaller values meets them last. One OR of these ranges would make SQLite
// merge several index searches and sort the result; each range alone is
// read straight off the index.
void beyondRanges(const KeyShape& k, size_t n, int dir, std::vector<std::string>& out) {
  for (size_t i = n; i-- > 0;) {
    std::string prefix = equalPrefix(k, i);
    const std::string& c = k.columns[i];
    bool towardsLarger = (dir > 0) != k.descending[i];
    if (k.null[i]) {
      if (towardsLarger) out.push_back(joined(prefix, c + " IS NOT NULL"));
    } else if (towardsLarger) {
      out.push_back(joined(prefix, c + " > " + param(i)));
    } else {
      out.push_back(joined(prefix, c + " < " + param(i)));
      if (k.nullable[i]) out.push_back(joined(prefix, c + " IS NULL"));
    }
  }
}

std::string orderBy(const KeyShape& k, int dir) {
  std::string out = " ORDER BY ";
  for (size_t i = 0; i < k.columns.size(); ++i) {
    bool desc = k.descending[i] != (dir < 0);
    out += (i ? ", " : "") + k.columns[i] + (desc ? " DESC" : "");
  }
  return out;
}

// Resets a statement however the scope is left.
struct ResetOnExit {
  sqlite3_stmt* st;
  ~ResetOnExit() { sqlite3_reset(st); }
};

}  // namespace

namespace ravlink_detail {

// ---- walks ------------------------------------------------------------------------

// One record's walk: the ranges of a seek, each a statement of the record's
// own (a stepping statement is never shared with another cursor), stepped one
// row per move. Everything runs under the session's mutex.
class Walk {
 public:
  using Ranges = std::vector<sqlite3_stmt*>;

  Walk(std::shared_ptr<Connection> conn, RecordState* owner) : conn_(std::move(conn)), owner_(owner) {
    conn_->walks.push_back(this);
  }
  ~Walk() {
    forget();
    auto& walks = conn_->walks;
    walks.erase(std::remove(walks.begin(), walks.end(), this), walks.end());
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  const std::shared_ptr<Connection>& connection() const { return conn_; }

  // Still stepping in this direction, and its view of the file is current:
  // nothing was written in the process since it started.
  bool continues(int dir) const { return live_ && dir_ == dir && budget_ > 0 && gen_ == fileGen(); }

  // The statements of a seek's ranges, prepared once per shape.
  template <class MakeSql>
  const Ranges& plan(const std::string& shape, MakeSql&& makeSql) {
    auto it = plans_.find(shape);
    if (it != plans_.end()) return it->second;
    Ranges ranges;
    for (const std::string& sql : makeSql()) ranges.push_back(statement(sql));
    return plans_.emplace(shape, std::move(ranges)).first->second;
  }

  // Starts over on `ranges` with the key values they compare against.
  void start(const Ranges& ranges, std::vector<Value>&& key, int dir) {
    park();
    parkStale();  // they hold an older view, which this walk would share
    ranges_ = &ranges;
    bound_ = std::move(key);  // the statements read bound text in place
    range_ = 0;
    dir_ = dir;
    budget_ = kRowsPerSeek;
    gen_ = fileGen();  // before the first step takes the view
    live_ = true;
  }

  // The statement standing on the next row, or null past the last range.
  // A row of the owner's still in the statement is copied out first, unless
  // the owner gave it up (RecordState::stepOn).
  sqlite3_stmt* step(const char* doing) {
    if (owner_->liveRow) owner_->materialise();
    while (live_ && range_ < ranges_->size()) {
      sqlite3_stmt* st = (*ranges_)[range_];
      if (!opened_) {
        for (size_t i = 0; i < bound_.size(); ++i) bindValue(st, int(i + 1), bound_[i]);
        opened_ = true;
      }
      int rc = sqlite3_step(st);
      if (rc == SQLITE_ROW) {
        --budget_;
        return st;
      }
      sqlite3_reset(st);
      opened_ = false;
      if (rc != SQLITE_DONE) {
        live_ = false;
        failSqlite(conn_->db, rc, doing);
      }
      ++range_;
    }
    live_ = false;
    return nullptr;
  }

  size_t range() const { return range_; }  // of the row last stepped to

  // Lets go of the statement (and so of the read it holds open); the
  // owner's row, if it still lives there, goes into its buffer first.
  void park() {
    if (owner_->liveRow) owner_->materialise();
    if (opened_) sqlite3_reset((*ranges_)[range_]);
    opened_ = false;
    live_ = false;
  }

  // Drops every statement: the table's layout changed.
  void forget() {
    park();
    plans_.clear();
    ranges_ = nullptr;
    for (auto& [sql, st] : statements_) sqlite3_finalize(st);
    statements_.clear();
  }

  // A statement of the walk's own for single-row reads while it is parked.
  sqlite3_stmt* single(const std::string& sql) { return statement(sql); }

 private:
  uint64_t fileGen() const { return conn_->file->writeGen.load(); }

  void parkStale() {
    uint64_t now = fileGen();
    for (Walk* w : conn_->walks)
      if (w->live_ && w->gen_ != now) w->park();
  }

  sqlite3_stmt* statement(const std::string& sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(conn_->db, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) failSqlite(conn_->db, rc, "preparing a statement");
    statements_.emplace(sql, st);
    return st;
  }

  std::shared_ptr<Connection> conn_;
  RecordState* owner_;  // owns the walk
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
  std::unordered_map<std::string, Ranges> plans_;  // nodes stay put: ranges_ points into one
  const Ranges* ranges_ = nullptr;
  std::vector<Value> bound_;
  size_t range_ = 0;
  bool opened_ = false;  // the current range's statement is bound and stepping
  bool live_ = false;
  int dir_ = 0;
  uint64_t gen_ = 0;
  size_t budget_ = 0;
};

void Connection::parkWalks() {
  for (Walk* w : walks) w->park();
}

// ---- state ------------------------------------------------------------------------

RecordState::RecordState() = default;
RecordState::~RecordState() {
  dropLiveRow();
  walker.reset();  // while the buffer it would copy into still stands
}

void RecordState::followLayout() {
  TableCore& t = *table;
  materialise();  // in the layout it was read with
  size_t n = t.stored.fields.size();
  if (tableName != t.stored.name) {
    values.assign(n, Value());
    dirty.assign(n, 0);
    pos = Pos::Fresh;
    onRow = false;
    defaultIndex = -2;
    tableName = t.stored.name;
  } else {
    values.resize(n);
    dirty.resize(n, 0);
  }
  if (defaultIndex >= int(t.stored.indexes.size())) defaultIndex = -2, pos = Pos::Fresh;
  if (walker) walker->forget();
  nameHits.fill(NameHit{});
  stampHits.clear();
  tableVersion = t.version;
}

const Value& RecordState::autoStamp(int field, const ZVDateTime& now) {
  if (stampHits.size() != values.size()) stampHits.assign(values.size(), StampHit{});
  StampHit& hit = stampHits[size_t(field)];
  if (hit.day != now.GetDate() || hit.ms != now.GetMilliseconds()) {
    hit.value = fromDateTime(table->stored.fields[size_t(field)], now);
    hit.day = now.GetDate(), hit.ms = now.GetMilliseconds();
  }
  return hit.value;
}

int RecordState::effectiveIndex() {
  if (defaultIndex == -2) return table->stored.indexes.empty() ? -1 : 0;
  return defaultIndex;
}

const std::vector<int>& RecordState::keyFields() {
  int idx = effectiveIndex();
  if (idx != keyCacheIndex || keyCacheVersion != table->version) {
    keyCache.clear();
    descCache.clear();
    keyCacheJson = false;
    if (idx >= 0)
      for (const auto& s : table->stored.indexes[idx].segments) {
        keyCache.push_back(s.field);
        descCache.push_back(s.descending());
        keyCacheJson = keyCacheJson || s.overJsonKey();
      }
    keyCacheIndex = idx;
    keyCacheVersion = table->version;
  }
  return keyCache;
}

const std::vector<bool>& RecordState::keyDescending() {
  keyFields();
  return descCache;
}

std::vector<Value> RecordState::keyValues(bool search) const {
  std::vector<Value> out;
  auto* self = const_cast<RecordState*>(this);
  self->materialise();
  for (int f : self->keyFields()) out.push_back(values[f]);
  self->jsonKeysOf(out, search);
  return out;
}

void RecordState::jsonKeysOf(std::vector<Value>& key, bool search) {
  if (!keyCacheJson) return;
  const TableDef& d = table->stored;
  const auto& segments = d.indexes[effectiveIndex()].segments;
  for (size_t i = 0; i < segments.size() && i < key.size(); ++i)
    if (segments[i].overJsonKey()) key[i] = segmentKeyValue(*table->conn, d, segments[i], key[i], search);
}

// The position's key from the current buffer, reusing its storage.
static void keepPositionKey(RecordState& r) {
  const auto& fields =
      r.keyCacheIndex == r.effectiveIndex() && r.keyCacheVersion == r.table->version ? r.keyCache : r.keyFields();
  r.posKey.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    const Value& from = r.values[fields[i]];
    Value& to = r.posKey[i];
    to.kind = from.kind;
    to.i = from.i;
    to.d = from.d;
    if (from.kind == Value::Text || from.kind == Value::Blob) to.s = from.s;  // numbers leave the text unused
  }
  r.jsonKeysOf(r.posKey, false);
}

int RecordState::dateTypeOf(int field) const {
  int d = table->stored.fields[field].dateType;
  return d > 0 ? d : table->logon->dateType;
}

int RecordState::timeTypeOf(int field) const {
  int t = table->stored.fields[field].timeType;
  return t > 0 ? t : table->logon->timeType;
}

// Columns go straight into the buffer's values, reusing their storage.
void RecordState::loadRow(sqlite3_stmt* st) {
  dropLiveRow();
  size_t nf = values.size();
  for (size_t i = 0; i < nf; ++i) assignColumn(values[i], st, int(i));
  posRowid = sqlite3_column_int64(st, int(nf));
  std::fill(dirty.begin(), dirty.end(), 0);
  onRow = true;
  pos = Pos::At;
  keepPositionKey(*this);
}

// Only the record id and the position's key are taken now: a walk may have
// to seek again from them after the statement has moved on.
void RecordState::holdRow(sqlite3_stmt* st) {
  liveRow = st;
  posRowid = sqlite3_column_int64(st, int(values.size()));
  std::fill(dirty.begin(), dirty.end(), 0);
  onRow = true;
  pos = Pos::At;
  const auto& fields = keyCacheIndex == effectiveIndex() && keyCacheVersion == table->version ? keyCache : keyFields();
  posKey.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) assignColumn(posKey[i], st, fields[i]);
  jsonKeysOf(posKey, false);
}

void RecordState::materialise() {
  if (!liveRow) return;
  sqlite3_stmt* st = liveRow;
  liveRow = nullptr;
  for (size_t i = 0; i < values.size(); ++i) assignColumn(values[i], st, int(i));
}

const Value& RecordState::fieldValue(int field) {
  if (!liveRow) return values[field];
  assignColumn(scratch, liveRow, field);
  return scratch;
}

// The statement gives up the record's row when it steps. When it has no next
// row the record still holds the row it was on, as if nothing had moved, so it
// reads that row again by id, in that case only (once per end of a walk).
sqlite3_stmt* RecordState::stepOn(Walk& w) {
  bool gaveUp = liveRow != nullptr;
  dropLiveRow();
  sqlite3_stmt* st = nullptr;
  try {
    st = w.step("reading records");
  } catch (...) {
    if (gaveUp) restoreRow();
    throw;
  }
  if (!st && gaveUp) restoreRow();
  return st;
}

// The walk's view held no write of this process since it started (else it
// would have sought again, copying the row first), so the row reads back as
// it was unless another process changed it in between. Should the row be
// gone, the buffer keeps what the position knows: its key and its id.
void RecordState::restoreRow() {
  TableCore& t = *table;
  try {
    sqlite3_stmt* st =
        walker->single("SELECT " + t.selectList + " FROM " + quoteName(t.stored.name) + " WHERE rowid = ?1");
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, posRowid);
    if (stepRow(t.conn->db, st, "reading the record again")) {
      size_t nf = values.size();
      for (size_t i = 0; i < nf; ++i) assignColumn(values[i], st, int(i));
      return;
    }
  } catch (...) {
  }
  for (Value& v : values) {
    v.kind = Value::Null;
    v.s.clear();
  }
  const auto& fields = keyFields();
  const int idx = effectiveIndex();
  for (size_t i = 0; i < fields.size() && i < posKey.size(); ++i)
    if (!t.stored.indexes[idx].segments[i].overJsonKey()) values[fields[i]] = posKey[i];
  if (t.stored.identity >= 0) values[t.stored.identity] = Value::integer(posRowid);
}

void RecordState::stopWalk() {
  if (walker) walker->park();
}

void RecordState::endWalk() { walker.reset(); }

Walk& RecordState::walkOn() {
  const auto& conn = table->conn;
  if (!walker || walker->connection() != conn) {
    walker.reset();
    walker = std::make_unique<Walk>(conn, this);
  }
  return *walker;
}

// The ranges of a seek on the default index. `key` holds the index's values,
// then the record id when `withRowid`.
static const Walk::Ranges& planFor(RecordState& r, Walk& w, Seek seek, int dir, const std::vector<Value>& key,
                                   bool withRowid) {
  std::string shape;
  shape += char('0' + int(seek));
  shape += dir > 0 ? '+' : '-';
  shape += std::to_string(r.effectiveIndex());
  shape += ':';
  for (const Value& v : key) shape += v.isNull() ? 'n' : 'v';
  return w.plan(shape, [&] {
    TableCore& t = *r.table;
    KeyShape k;
    const auto& fields = r.keyFields();
    const auto& desc = r.keyDescending();
    int idx = r.effectiveIndex();  // -1: record-id order, no key fields
    const IndexDef* ix = idx >= 0 ? &t.stored.indexes[idx] : nullptr;
    for (size_t i = 0; i < fields.size(); ++i) {
      k.columns.push_back(segmentKeySql(t.stored, ix->segments[i]));
      k.descending.push_back(desc[i]);
      k.null.push_back(i < key.size() && key[i].isNull());  // no key from the start
      k.nullable.push_back(true);
    }
    k.columns.push_back("rowid");
    k.descending.push_back(false);
    k.null.push_back(false);
    k.nullable.push_back(false);
    size_t n = fields.size() + (withRowid ? 1 : 0);
    std::vector<std::string> conditions;
    if (seek == Seek::Start) conditions.push_back("");
    if (seek == Seek::AtOrAfter || seek == Seek::AtOrBefore) conditions.push_back(equalPrefix(k, n));
    if (seek != Seek::Start) beyondRanges(k, n, dir, conditions);
    std::string head = "SELECT " + t.selectList + " FROM " + quoteName(t.stored.name);
    std::string order = orderBy(k, dir);
    // A conditional index holds only the rows its condition accepts: the
    // walk asks for the same, which also lets SQLite read that index.
    std::string only = !ix || ix->condition.empty() ? "" : conditionSql(ix->condition, t.stored);
    std::vector<std::string> sqls;
    for (const auto& c : conditions) {
      std::string where = only.empty() ? c : c.empty() ? only : only + " AND " + c;
      sqls.push_back(head + (where.empty() ? "" : " WHERE " + where) + order);
    }
    return sqls;
  });
}

// Starts the walk from the position (or the start) and steps to its first row.
static sqlite3_stmt* seekFromPosition(RecordState& r, int dir, bool fromStart) {
  r.materialise();  // the seek may find nothing, and the record keeps its row
  Walk& w = r.walkOn();
  std::vector<Value> key;
  Seek seek = Seek::Start;
  if (!fromStart) {
    key = r.posKey.size() == r.keyFields().size() ? r.posKey : r.keyValues();
    key.push_back(Value::integer(r.posRowid));
    seek = dir > 0 ? Seek::After : Seek::Before;
  }
  const Walk::Ranges& ranges = planFor(r, w, seek, dir, key, true);
  w.start(ranges, std::move(key), dir);
  return w.step("reading records");
}

bool RecordState::waitForCommit(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
  FileShared& f = *table->conn->file;
  std::unique_lock<std::mutex> lock(f.mutex);
  bool changed = f.committed.wait_until(lock, deadline, [&] { return f.commitSeq != seen; });
  if (!table->logon->loggedOn) fail(RL_WAIT_INTERRUPTED, "The blocking read ended with its logon");
  return changed;
}

int RecordState::walk(int dir, bool fromStart) {
  sync();
  if (!fromStart && pos == Pos::Fresh) fromStart = true;
  if (!fromStart && pos == Pos::Exhausted) {
    onRow = false;
    return 0;
  }
  std::chrono::steady_clock::time_point deadline{};
  for (;;) {
    uint64_t seen = 0;
    if (blockingSeconds > 0) {
      // Taken before the walk looks, so a commit after its view wakes the wait.
      FileShared& f = *table->conn->file;
      std::lock_guard<std::mutex> lock(f.mutex);
      seen = f.commitSeq;
    }
    Walk& w = walkOn();
    sqlite3_stmt* st = !fromStart && w.continues(dir) ? stepOn(w) : seekFromPosition(*this, dir, fromStart);
    if (st) {
      holdRow(st);
      return 1;
    }
    onRow = false;
    if (blockingSeconds <= 0) return 0;
    Logon& l = *table->logon;
    if (!l.txnConns.empty()) {
      // Waiting while holding a write would keep out the very writers
      // this read waits for: pending implicit work is committed first,
      // an explicit transaction ends the read at once.
      if (l.explicitTxn) fail(RL_WAIT_TIMED_OUT, "No new record (a transaction is open)");
      l.commitAll();
    }
    if (deadline == std::chrono::steady_clock::time_point{})
      deadline = std::chrono::steady_clock::now() + std::chrono::seconds(blockingSeconds);
    if (!waitForCommit(seen, deadline)) fail(RL_WAIT_TIMED_OUT, "No new record within the blocking read's wait");
    sync();
  }
}

int RecordState::find(int mode) {
  sync();
  materialise();  // the key is the buffer's
  int idx = effectiveIndex();
  TableCore& t = *table;
  if (idx < 0) {
    if (t.stored.identity < 0) fail(RL_BAD_ARGUMENT, "Find needs an index; this record walks in record-id order");
    return findRowid(toInteger(t.stored.fields[t.stored.identity], values[t.stored.identity]), mode);
  }
  // Equal walks on like at-or-after, so a Next after it goes on without a
  // new seek; only a row of the first range (the equal keys) is a match.
  Seek seek;
  int dir = 1;
  switch (mode) {
    case RL_FIND_EQ:
      seek = Seek::AtOrAfter;
      break;
    case RL_FIND_LT:
      seek = Seek::Before, dir = -1;
      break;
    case RL_FIND_LE:
      seek = Seek::AtOrBefore, dir = -1;
      break;
    case RL_FIND_GT:
      seek = Seek::After;
      break;
    case RL_FIND_GE:
      seek = Seek::AtOrAfter;
      break;
    default:
      fail(RL_BAD_ARGUMENT, "Unknown find mode " + std::to_string(mode));
  }
  std::vector<Value> key = keyValues(true);
  Walk& w = walkOn();
  const Walk::Ranges& ranges = planFor(*this, w, seek, dir, key, false);
  w.start(ranges, std::move(key), dir);
  sqlite3_stmt* st = w.step("finding a record");
  if (!st || (mode == RL_FIND_EQ && w.range() != 0)) {
    w.park();
    onRow = false;
    pos = Pos::Exhausted;
    return 0;
  }
  holdRow(st);
  return 1;
}

// Runs a statement of one row (bound already) and positions on its row.
static bool loadOne(RecordState& r, sqlite3_stmt* st, const char* doing) {
  ResetOnExit reset{st};
  if (!stepRow(r.table->conn->db, st, doing)) return false;
  r.loadRow(st);
  return true;
}

int RecordState::findRowid(int64_t rowid, int mode) {
  syncLeavingCheck();
  const char* cond;
  const char* order = " ORDER BY rowid";
  switch (mode) {
    case RL_FIND_EQ:
      cond = "rowid = ?1";
      break;
    case RL_FIND_LT:
      cond = "rowid < ?1", order = " ORDER BY rowid DESC";
      break;
    case RL_FIND_LE:
      cond = "rowid <= ?1", order = " ORDER BY rowid DESC";
      break;
    case RL_FIND_GT:
      cond = "rowid > ?1";
      break;
    case RL_FIND_GE:
      cond = "rowid >= ?1";
      break;
    default:
      fail(RL_BAD_ARGUMENT, "Unknown find mode " + std::to_string(mode));
  }
  TableCore& t = *table;
  auto statement = [&] {
    sqlite3_stmt* st = t.conn->prepare("SELECT " + t.selectList + " FROM " + quoteName(t.stored.name) + " WHERE " +
                                       cond + order + " LIMIT 1");
    sqlite3_bind_int64(st, 1, rowid);
    return st;
  };
  if (t.catalogUnchecked) {
    // A table opened on its cached definition: the read's own transaction
    // tells whether the definition still holds, so a read by id is one
    // statement. When it does not, or no row came, the definition is
    // settled on its own and the read runs again.
    sqlite3_stmt* st = statement();
    ResetOnExit reset{st};
    if (stepRow(t.conn->db, st, "finding a record by id") && definitionsHoldInSnapshot(*t.conn)) {
      t.catalogUnchecked = false;
      loadRow(st);
      return 1;
    }
  }
  sync();
  if (loadOne(*this, statement(), "finding a record by id")) return 1;
  onRow = false;
  pos = Pos::Exhausted;
  return 0;
}

int RecordState::jumpTo(int64_t n) {
  sync();
  if (pos != Pos::At) fail(RL_NO_CURRENT_RECORD, "The record has no current row to move from");
  if (n == 0) {
    read();
    return 1;
  }
  int dir = n > 0 ? 1 : -1;
  uint64_t steps = n > 0 ? uint64_t(n) : uint64_t(0) - uint64_t(n);
  sqlite3_stmt* st = seekFromPosition(*this, dir, false);
  for (uint64_t i = 1; st && i < steps; ++i) st = walker->step("moving the record");
  if (!st) {
    walker->park();
    if (n < 0) fail(RL_BEFORE_START, "The move reaches before the first record");
    fail(RL_NOT_FOUND, "The move reaches past the last record");
  }
  holdRow(st);
  return 1;
}

void RecordState::read() {
  sync();
  if (pos != Pos::At) fail(RL_NO_CURRENT_RECORD, "The record has no current row");
  TableCore& t = *table;
  sqlite3_stmt* st =
      t.conn->prepare("SELECT " + t.selectList + " FROM " + quoteName(t.stored.name) + " WHERE rowid = ?1");
  sqlite3_bind_int64(st, 1, posRowid);
  if (!loadOne(*this, st, "reading the record")) {
    onRow = false;
    fail(RL_NOT_FOUND, "The current record no longer exists");
  }
}

static void checkPartitionWidth(const TableDef& d, int64_t partition) {
  if (d.partBits > 0 && d.partBits < 63 && (partition < 0 || partition >= (int64_t(1) << d.partBits)))
    fail(RL_BAD_VALUE, "Partition number " + std::to_string(partition) + " does not fit the partition width");
}

void RecordState::insert() {
  sync();
  materialise();
  TableCore& t = *table;
  const TableDef& d = t.stored;
  ZVDateTime now;
  bool haveNow = false;
  for (size_t i = 0; i < d.fields.size(); ++i)
    if (d.fields[i].autoTimestamp && values[i].isNull()) {
      if (!haveNow) now = ZVDateTime::CurrentDateTime(), haveNow = true;
      values[i] = autoStamp(int(i), now);
    }
  if (d.identity >= 0) values[d.identity] = Value();  // identity values are the engine's
  int64_t partition = 0;
  bool purge = false;
  if (d.partitioned()) {
    partition = t.rule.evaluate(values, d);
    checkPartitionWidth(d, partition);
    if (d.partMaxActive > 0) {
      std::lock_guard<std::mutex> lock(t.shared->partMutex);
      if (!t.shared->maxPartitionKnown) {
        sqlite3_stmt* st = t.conn->prepare("SELECT max(rl_partition) FROM " + quoteName(d.name));
        bool row = stepRow(t.conn->db, st, "reading partitions");
        t.shared->maxPartition = row ? sqlite3_column_int64(st, 0) : 0;
        sqlite3_reset(st);
        t.shared->maxPartitionKnown = true;
      }
      purge = partition > t.shared->maxPartition;
    }
  }
  Connection& conn = *t.conn;
  WriteScope write(conn, purge);
  if (!t.insertStmt) t.insertStmt = conn.prepare(t.insertSql);
  sqlite3_stmt* st = t.insertStmt;
  int p = 1;
  for (size_t i = 0; i < d.fields.size(); ++i)
    if (int(i) != d.identity) bindValue(st, p++, values[i]);
  if (d.partitioned()) sqlite3_bind_int64(st, p, partition);
  stepDone(conn.db, st, "inserting a record");
  int64_t rowid = sqlite3_last_insert_rowid(conn.db);
  if (purge) {
    // Rows of partitions beyond the most active ones leave by themselves.
    sqlite3_stmt* del = conn.prepare("DELETE FROM " + quoteName(d.name) + " WHERE rl_partition <= ?1");
    sqlite3_bind_int64(del, 1, partition - d.partMaxActive);
    stepDone(conn.db, del, "purging old partitions");
    std::lock_guard<std::mutex> lock(t.shared->partMutex);
    t.shared->maxPartition = std::max(t.shared->maxPartition, partition);
  }
  write.done();
  t.shared->writeGen++;
  monitor::recordAdded();
  if (d.identity >= 0) values[d.identity] = Value::integer(rowid);
  std::fill(dirty.begin(), dirty.end(), 0);
  onRow = true;
  pos = Pos::At;
  posRowid = rowid;
  keepPositionKey(*this);
  stopWalk();
}

void RecordState::update() {
  materialise();
  TableCore& t = *table;
  const TableDef& d = t.stored;
  std::string sets;
  std::vector<int> changed;
  bool anyChange = std::find(dirty.begin(), dirty.end(), 1) != dirty.end();
  for (size_t i = 0; i < d.fields.size() && anyChange; ++i)
    if (d.fields[i].autoUpdate) {
      values[i] = fromDateTime(d.fields[i], ZVDateTime::CurrentDateTime());
      dirty[i] = 1;
    }
  for (size_t i = 0; i < d.fields.size(); ++i) {
    if (!dirty[i]) continue;
    if (int(i) == d.identity) {
      if (values[i].kind != Value::Int || values[i].i != posRowid)
        fail(RL_BAD_VALUE, "Identity field [" + d.fields[i].name + "] is given by the engine");
      continue;
    }
    sets += (changed.empty() ? "" : ", ") + quoteName(d.fields[i].name) + " = " + param(changed.size());
    changed.push_back(int(i));
  }
  if (changed.empty()) return;
  int64_t partition = 0;
  if (d.partitioned()) {
    partition = t.rule.evaluate(values, d);
    checkPartitionWidth(d, partition);  // as an insert would: the row moves only where it may be
    sets += ", rl_partition = " + param(changed.size());
  }
  size_t rowParam = changed.size() + (d.partitioned() ? 1 : 0);
  Connection& conn = *t.conn;
  WriteScope write(conn, false);
  sqlite3_stmt* st = conn.prepare("UPDATE " + quoteName(d.name) + " SET " + sets + " WHERE rowid = " + param(rowParam));
  for (size_t i = 0; i < changed.size(); ++i) bindValue(st, int(i + 1), values[changed[i]]);
  if (d.partitioned()) sqlite3_bind_int64(st, int(changed.size() + 1), partition);
  sqlite3_bind_int64(st, int(rowParam + 1), posRowid);
  stepDone(conn.db, st, "updating a record");
  int n = sqlite3_changes(conn.db);
  if (n == 0) fail(RL_NOT_FOUND, "The current record no longer exists");
  write.done();
  t.shared->writeGen++;
  monitor::recordUpdated();
  std::fill(dirty.begin(), dirty.end(), 0);
  keepPositionKey(*this);
  stopWalk();
}

void RecordState::remove() {
  sync();
  if (!onRow) fail(RL_NO_CURRENT_RECORD, "The record has no current row to delete");
  materialise();  // the buffer keeps the deleted row
  TableCore& t = *table;
  Connection& conn = *t.conn;
  WriteScope write(conn, false);
  sqlite3_stmt* st = conn.prepare("DELETE FROM " + quoteName(t.stored.name) + " WHERE rowid = ?1");
  sqlite3_bind_int64(st, 1, posRowid);
  stepDone(conn.db, st, "deleting a record");
  int n = sqlite3_changes(conn.db);
  if (n == 0) fail(RL_NOT_FOUND, "The current record no longer exists");
  write.done();
  t.shared->writeGen++;
  monitor::recordDeleted();
  onRow = false;  // the position stays, so Next goes on after the deleted row
}

void RecordState::batchDelete() {
  int idx = effectiveIndex();
  if (idx < 0) fail(RL_BAD_ARGUMENT, "A batch delete needs an index");
  materialise();
  TableCore& t = *table;
  const IndexDef& ix = t.stored.indexes[idx];
  std::string cond;
  std::vector<Value> key;
  for (const auto& s : ix.segments) {
    Value v = segmentKeyValue(*t.conn, t.stored, s, values[s.field], true);
    if (v.isNull()) break;
    cond += (key.empty() ? "" : " AND ") + segmentKeySql(t.stored, s) + " = " + param(key.size());
    key.push_back(std::move(v));
  }
  if (!key.empty() && !ix.condition.empty()) cond = conditionSql(ix.condition, t.stored) + " AND " + cond;
  if (key.empty()) fail(RL_BAD_ARGUMENT, "A batch delete needs the leading key values set");
  Connection& conn = *t.conn;
  WriteScope write(conn, false);
  sqlite3_stmt* st = conn.prepare("DELETE FROM " + quoteName(t.stored.name) + " WHERE " + cond);
  for (size_t i = 0; i < key.size(); ++i) bindValue(st, int(i + 1), key[i]);
  stepDone(conn.db, st, "deleting a batch");
  int n = sqlite3_changes(conn.db);
  write.done();
  t.shared->writeGen++;
  if (n == 0) fail(RL_NOT_FOUND, "No record matched the batch key");
}

int RecordState::fieldOf(const char* name) {
  sync();
  if (!name) name = "";
  // Callers name the same few fields row after row, mostly with the same
  // literals: a hit costs a pointer match and a comparison of the name.
  const auto& fields = table->stored.fields;
  for (const NameHit& hit : nameHits)
    if (hit.name == name && size_t(hit.field) < fields.size() && strcmp(fields[hit.field].name.c_str(), name) == 0)
      return hit.field;
  int field = table->field(name);
  nameHits[nextNameHit] = NameHit{name, field};
  nextNameHit = (nextNameHit + 1) % nameHits.size();
  return field;
}

LockKey RecordState::rowKey(int64_t rowid) const { return LockKey{table->conn->path, table->stored.name, rowid}; }

void RecordState::releaseLocks() {
  for (const auto& key : lockedRows) engine().locks.release(key, table->logon->id);
  lockedRows.clear();
}

}  // namespace ravlink_detail
