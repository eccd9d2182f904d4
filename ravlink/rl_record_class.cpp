// The record class: moves, writes and locks on a record's state, and its
// field reads and writes, straight from a walk's live row where it can.
#include "rl_core.h"

#include <algorithm>
#include <cstring>

using namespace ravlink_detail;

// ---- record ----------------------------------------------------------------------------

ZVRecord::ZVRecord(ZVTable* table) : state_(std::make_unique<RecordState>()) {
  if (!table) fail(RL_BAD_ARGUMENT, "A record needs a table");
  state_->self = this;
  state_->table = table->core_;
}

ZVRecord::~ZVRecord() {
  retireHandle(this);
  std::lock_guard<ravlink_detail::SessionMutex> lock(state_->table->logon->mutex);
  state_->releaseLocks();
  state_->dropLiveRow();   // nobody reads it any more
  state_->endWalk();  // its statements belong to the session's connection
}

Logon* ZVRecord::logon() const { return state_->table->logon.get(); }

void ZVRecord::Clear() {
  guarded([&] {
    RecordState& s = *state_;
    s.syncLeavingCheck();  // clearing reads nothing of the file
    s.dropLiveRow();  // cleared below
    for (Value& v : s.values) {
      v.kind = Value::Null;
      v.s.clear();  // keeps the buffer for the next value
    }
    std::fill(s.dirty.begin(), s.dirty.end(), 0);
    s.onRow = false;
    s.pos = RecordState::Pos::Fresh;
    s.stopWalk();
  });
}

void ZVRecord::SetNew(int isNew) {
  if (isNew) Clear();
}

static void chooseIndex(RecordState& s, int index) {
  s.defaultIndex = index;
  s.stopWalk();
  if (s.onRow)
    s.posKey = s.keyValues();
  else
    s.pos = RecordState::Pos::Fresh;
}

void ZVRecord::SetDefaultIndex(const char* indexName) {
  guarded([&] {
    state_->sync();
    int n = state_->table->stored.indexNumber(indexName ? indexName : "");
    if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(indexName ? indexName : "") + "] not found");
    chooseIndex(*state_, n);
  });
}

void ZVRecord::SetDefaultIndex(int indexNumber) {
  guarded([&] {
    if (indexNumber == RL_ROWID_INDEX) {
      state_->syncLeavingCheck();  // record-id order needs nothing of the definition
      return chooseIndex(*state_, -1);
    }
    state_->sync();
    if (indexNumber < 0 || size_t(indexNumber) >= state_->table->stored.indexes.size())
      fail(RL_UNKNOWN_INDEX, "Index number " + std::to_string(indexNumber) + " not found");
    chooseIndex(*state_, indexNumber);
  });
}

int ZVRecord::Find(int mode) {
  return guarded([&] { return readWithin(*state_, state_->find(mode), 1); });
}
int ZVRecord::FindRowid(int64_t rowid, int mode) {
  return guarded([&] { return state_->findRowid(rowid, mode); });
}
int ZVRecord::First() {
  return guarded([&] { return readWithin(*state_, state_->walk(1, true), 1); });
}
int ZVRecord::Last() {
  return guarded([&] { return readWithin(*state_, state_->walk(-1, true), -1); });
}
int ZVRecord::Next() {
  return guarded([&] { return readWithin(*state_, state_->walk(1, false), 1); });
}
int ZVRecord::Prev() {
  return guarded([&] { return readWithin(*state_, state_->walk(-1, false), -1); });
}
void ZVRecord::JumpTo(int64_t n) {
  guarded([&] { state_->jumpTo(n); });
}
void ZVRecord::Read() {
  guarded([&] { state_->read(); });
}

void ZVRecord::Write() {
  guarded([&] {
    state_->sync();
    if (state_->onRow)
      state_->update();
    else
      state_->insert();
  });
}

void ZVRecord::Delete() {
  guarded([&] { state_->remove(); });
}

int64_t ZVRecord::GetRowid() const {
  return const_cast<ZVRecord*>(this)->guarded([&] {
    if (state_->pos != RecordState::Pos::At) fail(RL_NO_CURRENT_RECORD, "The record has no current row");
    return state_->posRowid;
  });
}

int64_t ZVRecord::GetRecordCount() {
  return guarded([&] {
    state_->sync();
    TableCore& t = *state_->table;
    sqlite3_stmt* st = t.conn->prepare("SELECT count(*) FROM " + quoteName(t.stored.name));
    int64_t n = stepRow(t.conn->db, st, "counting records") ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_reset(st);
    return n;
  });
}

void ZVRecord::LockRecord(int mode) {
  guarded([&] {
    if (mode == 0) return UnlockRecord();
    RecordState& s = *state_;
    s.sync();
    if (s.pos != RecordState::Pos::At) fail(RL_NO_CURRENT_RECORD, "The record has no current row to lock");
    LockKey key = s.rowKey(s.posRowid);
    engine().locks.acquire(key, s.table->logon->id, kLockTimeoutMs);
    s.lockedRows.push_back(key);
  });
}

void ZVRecord::UnlockRecord() {
  guarded([&] {
    RecordState& s = *state_;
    if (s.lockedRows.empty()) return;
    engine().locks.release(s.lockedRows.back(), s.table->logon->id);
    s.lockedRows.pop_back();
  });
}

void ZVRecord::Lock(int mode) { LockRecord(mode ? mode : 4); }
void ZVRecord::Unlock() { UnlockRecord(); }

void ZVRecord::SetBatch(int mode, int length, int flags) {
  guarded([&] {
    state_->sync();
    if (mode == 5) {
      state_->batchMode = 5;
      return;
    }
    if (mode != 4) fail(RL_BAD_ARGUMENT, "Unknown batch mode " + std::to_string(mode));
    state_->batchDelete();
    state_->batchMode = 4;
  });
}

void ZVRecord::InsertBatch() {
  guarded([&] { state_->insert(); });
}
void ZVRecord::EndBatch() {
  guarded([&] { state_->batchMode = 0; });
}

// ---- field access ------------------------------------------------------------------------
// A record standing on a walk's row reads its fields straight from the
// walk's statement (RecordState::liveRow): text and bytes go to the caller
// without passing through the buffer, everything else takes the conversions
// of a buffered value.

// The text or bytes of a live row's field, as a buffered value would hand
// them over. `formatted`: dates and times are reformatted, so their text is
// not taken as it stands. False: take the conversion.
static bool liveBytes(RecordState& s, int f, bool formatted, const char** data, size_t* size) {
  if (!s.liveRow) return false;
  sqlite3_value* c = sqlite3_column_value(s.liveRow, f);
  const void* p;
  switch (sqlite3_value_type(c)) {
    case SQLITE_BLOB:
      p = sqlite3_value_blob(c);
      break;
    case SQLITE_TEXT: {
      if (formatted) {
        Sem sem = semOf(s.table->stored.fields[f]);
        if (sem == Sem::Date || sem == Sem::Time || sem == Sem::Timestamp) return false;
      }
      p = sqlite3_value_text(c);
      break;
    }
    default:
      return false;
  }
  *data = p ? static_cast<const char*>(p) : "";
  *size = p ? size_t(sqlite3_value_bytes(c)) : 0;
  return true;
}

bool ZVRecord::IsFieldNull(const char* name) {
  return guarded([&] {
    RecordState& s = *state_;
    int f = s.fieldOf(name);
    if (s.liveRow) return sqlite3_column_type(s.liveRow, f) == SQLITE_NULL;
    return s.values[f].isNull();
  });
}

static std::string stringOf(RecordState& s, int f) {
  const char* data;
  size_t size;
  if (liveBytes(s, f, true, &data, &size)) return std::string(data, size);
  return toString(s.table->stored.fields[f], s.fieldValue(f), s.dateTypeOf(f), s.timeTypeOf(f));
}

static int fieldNumber(RecordState& s, int number) {
  s.sync();
  if (number < 0 || size_t(number) >= s.values.size())
    fail(RL_UNKNOWN_FIELD, "Field number " + std::to_string(number) + " not found");
  return number;
}

std::string ZVRecord::GetFieldAsString(const char* name) {
  return guarded([&] { return stringOf(*state_, state_->fieldOf(name)); });
}
std::string ZVRecord::GetFieldAsString(int number) {
  return guarded([&] { return stringOf(*state_, fieldNumber(*state_, number)); });
}

static int32_t signedOf(RecordState& s, int f) {
  int64_t v = toInteger(s.table->stored.fields[f], s.fieldValue(f));
  if (v < INT32_MIN || v > UINT32_MAX)
    fail(RL_BAD_VALUE, "Field [" + s.table->stored.fields[f].name + "] holds a value beyond 32 bits");
  return int32_t(uint32_t(v));
}

int32_t ZVRecord::GetFieldAsSigned(const char* name) {
  return guarded([&] { return signedOf(*state_, state_->fieldOf(name)); });
}
int32_t ZVRecord::GetFieldAsSigned(int number) {
  return guarded([&] { return signedOf(*state_, fieldNumber(*state_, number)); });
}

int ZVRecord::GetFieldAsBool(const char* name) {
  return guarded([&]() -> int {
    int f = state_->fieldOf(name);
    const Value& v = state_->fieldValue(f);
    if (v.kind == Value::Text) {
      char c = v.s.empty() ? '0' : char(toupper(static_cast<unsigned char>(v.s[0])));
      return c == '1' || c == 'T' || c == 'Y';
    }
    return toFloat(state_->table->stored.fields[f], v) != 0;
  });
}

double ZVRecord::GetFieldAsFloat(const char* name) {
  return guarded([&] {
    int f = state_->fieldOf(name);
    return toFloat(state_->table->stored.fields[f], state_->fieldValue(f));
  });
}

int64_t ZVRecord::GetFieldAsBigint(const char* name) {
  return guarded([&] {
    int f = state_->fieldOf(name);
    return toInteger(state_->table->stored.fields[f], state_->fieldValue(f));
  });
}
int64_t ZVRecord::GetFieldAsBigint(int number) {
  return guarded([&] {
    int f = fieldNumber(*state_, number);
    return toInteger(state_->table->stored.fields[f], state_->fieldValue(f));
  });
}

ZVBlob ZVRecord::GetFieldAsBlob(const char* name) {
  return guarded([&] {
    int f = state_->fieldOf(name);
    const char* data;
    size_t size;
    if (liveBytes(*state_, f, false, &data, &size)) return ZVBlob(data, size);
    const Value& v = state_->fieldValue(f);
    if (v.kind == Value::Text || v.kind == Value::Blob) return ZVBlob(v.s.data(), v.s.size());
    std::string s = stringOf(*state_, f);
    return ZVBlob(s.data(), s.size());
  });
}

ZVDateTime ZVRecord::GetFieldAsDateTime(const char* name) {
  return guarded([&] {
    int f = state_->fieldOf(name);
    return toDateTime(state_->table->stored.fields[f], state_->fieldValue(f));
  });
}

char ZVRecord::GetFieldAsChar(const char* name) {
  return guarded([&]() -> char {
    int f = state_->fieldOf(name);
    const Value& v = state_->fieldValue(f);
    if (v.kind == Value::Int) return char(v.i);
    if (v.kind == Value::Text || v.kind == Value::Blob) return v.s.empty() ? 0 : v.s[0];
    return v.kind == Value::Real ? char(v.d) : 0;
  });
}

void ZVRecord::SetFieldNull(const char* name) {
  guarded([&] { state_->setValue(state_->fieldOf(name), [](const FieldDef&) { return Value(); }); });
}

// Text and bytes into a text or binary field: copied into the field's own
// buffer, which a record reuses from row to row.
static bool setBytesInPlace(RecordState& s, int f, const char* data, size_t size) {
  const FieldDef& fd = s.table->stored.fields[f];
  Sem sem = semOf(fd);
  if ((sem != Sem::Text && sem != Sem::Binary) || holdsJson(fd)) return false;
  s.materialise();  // the other fields keep the row
  Value& v = s.values[f];
  s.dirty[f] = 1;
  size_t limit = contentLimit(fd);
  if (limit > 0 && size > limit) {
    v.kind = Value::Null;
    v.s.clear();
    fail(RL_VALUE_TOO_LONG, "Value of " + std::to_string(size) + " bytes is longer than field [" + fd.name + "] (" +
                                std::to_string(limit) + ")");
  }
  v.kind = sem == Sem::Text ? Value::Text : Value::Blob;
  v.s.assign(data ? data : "", data ? size : 0);
  return true;
}

// A text of `length` bytes into field f: whole, or refused (a NUL byte is
// kept only by binary fields), never cut.
static void setText(RecordState& s, int f, const char* text, size_t length) {
  std::string_view view(text ? text : "", text ? length : 0);
  const FieldDef& fd = s.table->stored.fields[f];
  bool plainText = semOf(fd) == Sem::Text && !holdsJson(fd) && !textHasNul(view);
  if ((plainText || semOf(fd) == Sem::Binary) && setBytesInPlace(s, f, view.data(), view.size())) return;
  int dt = s.dateTypeOf(f), tt = s.timeTypeOf(f);
  s.setValue(f, [&](const FieldDef& def) { return fromText(def, view, dt, tt); });
}

void ZVRecord::SetFieldAsString(const char* name, const char* text) {
  guarded([&] { setText(*state_, state_->fieldOf(name), text, text ? strlen(text) : 0); });
}

void ZVRecord::SetFieldAsString(int number, const char* text) {
  guarded([&] { setText(*state_, fieldNumber(*state_, number), text, text ? strlen(text) : 0); });
}

void ZVRecord::SetFieldAsText(const char* name, const char* text, size_t length) {
  guarded([&] { setText(*state_, state_->fieldOf(name), text, length); });
}

void ZVRecord::SetFieldAsText(int number, const char* text, size_t length) {
  guarded([&] { setText(*state_, fieldNumber(*state_, number), text, length); });
}

void ZVRecord::SetFieldAsSigned(const char* name, int32_t value) {
  guarded([&] { state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) { return fromSigned(fd, value); }); });
}

void ZVRecord::SetFieldAsSigned(int number, int32_t value) {
  guarded([&] {
    state_->setValue(fieldNumber(*state_, number), [&](const FieldDef& fd) { return fromSigned(fd, value); });
  });
}

void ZVRecord::SetFieldAsBool(const char* name, int value) {
  guarded(
      [&] { state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) { return fromSigned(fd, value != 0); }); });
}

void ZVRecord::SetFieldAsFloat(const char* name, double value) {
  guarded([&] { state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) { return fromFloat(fd, value); }); });
}

void ZVRecord::SetFieldAsBigint(const char* name, int64_t value) {
  guarded([&] { state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) { return fromSigned(fd, value); }); });
}

void ZVRecord::SetFieldAsBigint(int number, int64_t value) {
  guarded([&] {
    state_->setValue(fieldNumber(*state_, number), [&](const FieldDef& fd) { return fromSigned(fd, value); });
  });
}

void ZVRecord::SetFieldAsBlob(const char* name, const ZVBlob& blob) {
  SetFieldAsBlob(name, blob.GetData(), blob.GetSize());
}

void ZVRecord::SetFieldAsBlob(const char* name, const void* data, size_t size) {
  guarded([&] {
    int f = state_->fieldOf(name);
    if (setBytesInPlace(*state_, f, static_cast<const char*>(data), size)) return;
    state_->setValue(f, [&](const FieldDef& fd) { return fromBytes(fd, data, size); });
  });
}

void ZVRecord::SetFieldAsDateTime(const char* name, const ZVDateTime& value) {
  guarded(
      [&] { state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) { return fromDateTime(fd, value); }); });
}

void ZVRecord::SetFieldAsDate(const char* name, const ZVDate& value) {
  SetFieldAsDateTime(name, ZVDateTime(value.GetDay(), 0));
}

void ZVRecord::SetFieldAsTime(const char* name, const ZVTime& value) {
  SetFieldAsDateTime(name, ZVDateTime(0, value.GetMilliseconds()));
}

void ZVRecord::SetFieldAsChar(const char* name, char value) {
  guarded([&] {
    state_->setValue(state_->fieldOf(name), [&](const FieldDef& fd) {
      Sem sem = semOf(fd);
      if (sem == Sem::Text || sem == Sem::Binary) return fromBytes(fd, &value, 1);
      return fromSigned(fd, static_cast<unsigned char>(value));
    });
  });
}

// ---- what the numbered functions ask of a record ----------------------------------------

namespace ravlink_detail {

const std::string& fieldNameAt(ZVRecord* r, int number) {
  RecordState& rs = Access::state(r);
  rs.sync();
  const auto& fields = rs.table->stored.fields;
  if (number < 0 || size_t(number) >= fields.size()) fail(RL_UNKNOWN_FIELD, "No field " + std::to_string(number));
  return fields[number].name;
}

ZVRecord* newRecordOn(ZVTable* table, ZVRecord* like) {
  auto record = std::make_unique<ZVRecord>(table);
  if (like) {
    int ix = Access::state(like).effectiveIndex();
    if (ix >= 0) record->SetDefaultIndex(ix);
  }
  return record.release();
}

bool recordChanged(const RecordState& rs) { return std::find(rs.dirty.begin(), rs.dirty.end(), 1) != rs.dirty.end(); }

void setLockMode(ZVRecord* r, int mode) {
  RecordState& rs = Access::state(r);
  rs.lockMode = mode;
  if (mode == 0)
    while (!rs.lockedRows.empty()) r->UnlockRecord();
}

bool findRowidLocking(ZVRecord* r, int64_t rowid) {
  if (!r->FindRowid(rowid, RL_FIND_EQ)) return false;
  int mode = Access::state(r).lockMode;
  if (mode > 2) r->LockRecord(mode);
  return true;
}

int defaultIndexOf(RecordState& rs) {
  rs.sync();
  return rs.effectiveIndex();
}

}  // namespace ravlink_detail
