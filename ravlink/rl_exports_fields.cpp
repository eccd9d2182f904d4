// Exported functions on field definitions: thin adapters over the working
// definition's changes (rl_definitions.cpp). Changes go to the table
// object's working definition and are stored by rlCreateTable or
// rlAlterTable; freeing the table drops them.
#include "rl_core.h"

using namespace ravlink_detail;

namespace {

Held<ZVField> fieldHandle(RLHANDLE h) { return handleAs<ZVField>(h); }

}  // namespace

extern "C" {

RLHANDLE rlAddField(RLHANDLE table, const char* name, int type, int length) {
  auto t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] { return t->AddField(name, type, length)->GetHandle(); });
}

RLHANDLE rlInsertField(RLHANDLE table, int position, const char* name, int type, int length) {
  auto t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    insertFieldDef(Access::definition(t), position, name, type, length);
    Access::refreshObjects(t);
    return t->GetField(position)->GetHandle();
  });
}

int rlMoveField(RLHANDLE field, int position) {
  auto f = fieldHandle(field);
  return codeOf(f, [&] { moveFieldDef(Access::definition(Access::table(f)), f->GetNumber(), position); });
}

int rlDeleteField(RLHANDLE table, int position) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { deleteFieldDef(Access::definition(t), position); });
}

RLHANDLE rlGetFieldByName(RLHANDLE tableOrRecord, const char* name) {
  auto t = clientTableOf(tableOrRecord);
  auto noted = handleAs<ZVBase>(tableOrRecord);
  if (!t || !noted) return nullptr;
  RLHANDLE result = nullptr;
  codeOf(noted, [&] { result = t->GetField(definedFieldNumber(Access::definition(t), name))->GetHandle(); });
  return result;
}

int rlSetFieldPrecision(RLHANDLE field, int precision) {
  auto f = fieldHandle(field);
  return codeOf(f, [&] {
    if (precision < 0 || precision > 0x7fff) fail(RL_BAD_ARGUMENT, "Bad field precision");
    liveFieldDef(f).precision = precision;
  });
}

int rlGetFieldPrecision(RLHANDLE field) {
  auto f = fieldHandle(field);
  int precision = 0;
  codeOf(f, [&] { precision = liveFieldDef(f).precision; });
  return precision;
}

int rlSetFieldScale(RLHANDLE field, int scale) {
  auto f = fieldHandle(field);
  return codeOf(f, [&] { f->SetScale(scale); });
}

int rlGetFieldScale(RLHANDLE field) {
  auto f = fieldHandle(field);
  return f ? f->GetScale() : 0;
}

int rlGetFieldAutoTimestamp(RLHANDLE field, int* onCreate, int* onUpdate) {
  auto f = fieldHandle(field);
  return codeOf(f, [&] {
    const FieldDef& fd = liveFieldDef(f);
    if (onCreate) *onCreate = fd.autoTimestamp ? 1 : 0;
    if (onUpdate) *onUpdate = fd.autoUpdate ? 1 : 0;
  });
}

const char* rlGetIdentityFieldName(RLHANDLE tableOrRecord) {
  auto t = clientTableOf(tableOrRecord);
  if (!t) return nullptr;
  const TableDef& d = Access::definition(t);
  return d.identity >= 0 && size_t(d.identity) < d.fields.size() ? d.fields[d.identity].name.c_str() : nullptr;
}

int rlGetFieldType(RLHANDLE field) {
  auto f = fieldHandle(field);
  return f ? f->GetType() : 0;
}

const char* rlGetFieldName(RLHANDLE field) {
  auto f = fieldHandle(field);
  return f ? f->GetName() : nullptr;
}

int rlGetFieldLength(RLHANDLE field) {
  auto f = fieldHandle(field);
  return f ? f->GetLength() : 0;
}

int rlIsFieldVariable(RLHANDLE field) {
  auto f = fieldHandle(field);
  if (!f) return 0;
  int type = f->GetType();
  return type == 146 || type == 154 || type == 162 || type == 170 || type == 201 ? 1 : 0;
}

int rlGetFieldCount(RLHANDLE tableOrRecord) {
  auto t = clientTableOf(tableOrRecord);
  return t ? t->GetFieldCount() : 0;
}

RLHANDLE rlGetField(RLHANDLE tableOrRecord, int number) {
  auto t = clientTableOf(tableOrRecord);
  return handleFrom(t, [&] {
    if (number < 0 || number >= t->GetFieldCount()) fail(RL_UNKNOWN_FIELD, "No field " + std::to_string(number));
    return t->GetField(number)->GetHandle();
  });
}

int rlGetFieldNumberByName(RLHANDLE tableOrRecord, const char* name) {
  auto t = clientTableOf(tableOrRecord);
  return t && name ? Access::settledDefinition(t).fieldNumber(name) : -1;
}

}  // extern "C"
