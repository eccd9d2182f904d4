// Statements: values bound into and read out of SQLite statements, steps
// that map the engine's failures to its codes.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- statements --------------------------------------------------------------

void bindValue(sqlite3_stmt* st, int index, const Value& v) {
  switch (v.kind) {
    case Value::Null:
      sqlite3_bind_null(st, index);
      break;
    case Value::Int:
      sqlite3_bind_int64(st, index, v.i);
      break;
    case Value::Real:
      sqlite3_bind_double(st, index, v.d);
      break;
    case Value::Text:
      sqlite3_bind_text(st, index, v.s.data(), int(v.s.size()), SQLITE_STATIC);
      break;
    case Value::Blob:
      sqlite3_bind_blob(st, index, v.s.data(), int(v.s.size()), SQLITE_STATIC);
      break;
  }
}

Value columnValue(sqlite3_stmt* st, int column) {
  Value v;
  switch (sqlite3_column_type(st, column)) {
    case SQLITE_INTEGER:
      v.kind = Value::Int;
      v.i = sqlite3_column_int64(st, column);
      break;
    case SQLITE_FLOAT:
      v.kind = Value::Real;
      v.d = sqlite3_column_double(st, column);
      break;
    case SQLITE_TEXT: {
      v.kind = Value::Text;
      const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
      v.s.assign(p, sqlite3_column_bytes(st, column));
      break;
    }
    case SQLITE_BLOB: {
      v.kind = Value::Blob;
      const char* p = static_cast<const char*>(sqlite3_column_blob(st, column));
      v.s.assign(p ? p : "", sqlite3_column_bytes(st, column));
      break;
    }
    default:
      break;
  }
  return v;
}

// One lookup of the column, then the value's accessors, which skip the
// per-call checks of the column functions: this runs for every field of
// every row read.
void assignColumn(Value& v, sqlite3_stmt* st, int column) {
  sqlite3_value* c = sqlite3_column_value(st, column);
  switch (sqlite3_value_type(c)) {
    case SQLITE_INTEGER:
      v.kind = Value::Int;
      v.i = sqlite3_value_int64(c);
      break;
    case SQLITE_FLOAT:
      v.kind = Value::Real;
      v.d = sqlite3_value_double(c);
      break;
    case SQLITE_TEXT: {
      v.kind = Value::Text;
      const char* p = reinterpret_cast<const char*>(sqlite3_value_text(c));
      v.s.assign(p ? p : "", sqlite3_value_bytes(c));
      break;
    }
    case SQLITE_BLOB: {
      v.kind = Value::Blob;
      const char* p = static_cast<const char*>(sqlite3_value_blob(c));
      v.s.assign(p ? p : "", sqlite3_value_bytes(c));
      break;
    }
    default:
      v.kind = Value::Null;
      break;
  }
}

bool stepRow(sqlite3* db, sqlite3_stmt* st, const char* doing) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(st);
  failSqlite(db, sqlite3_extended_errcode(db), doing);
}

void stepDone(sqlite3* db, sqlite3_stmt* st, const char* doing) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    sqlite3_reset(st);
    return;
  }
  int ext = sqlite3_extended_errcode(db);
  sqlite3_reset(st);
  failSqlite(db, ext, doing);
}

sqlite3_stmt* prepareOnce(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (rc != SQLITE_OK) failSqlite(db, rc, "reading the catalog");
  return st;
}

}  // namespace ravlink_detail
