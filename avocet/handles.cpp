// The handles of one table command, the request's member readers and the
// vocabulary of type, flag, key and segment names the table commands share.
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstring>

#include "VOKTBasic.h"
#include "avocet.h"

namespace avocet {

// ---- handles -----------------------------------------------------------------------------

TableHandles::~TableHandles() {
  if (record) api.zvdbFreeRecord(record);
  if (table) {
    if (opened_) api.zvdbCloseTable(table);
    api.zvdbFreeTable(table);
  }
  if (database) {
    if (connected_) api.zvdbDisconnect(database);
    api.zvdbFreeDatabase(database);
  }
}

bool TableHandles::allocDatabase() { return (database = api.zvdbAllocDatabase(session_)) != nullptr; }

int TableHandles::connect(const char* name) {
  int r = api.zvdbConnect(database, name);
  connected_ = r == 0;
  return r;
}

bool TableHandles::allocTable() { return (table = api.zvdbAllocTable(database)) != nullptr; }

int TableHandles::open(const char* name, int baseMode, json_object* request) {
  int r = api.zvdbOpenTable(table, name, openModeOf(baseMode, request));
  opened_ = r == 0;
  return r;
}

bool TableHandles::allocRecord() { return (record = api.zvdbAllocRecord(table)) != nullptr; }

void TableHandles::handOver(TableCommandContext& context) {
  // The worker frees the table (which closes it and its records) and the database (which disconnects it).
  context.table = table;
  context.database = database;
  table = database = record = nullptr;
}

int openModeOf(int baseMode, json_object* request) {
  json_object* openMode = nullptr;
  int mode = baseMode;
  if (!zvJsonGetByName(request, "openMode", &openMode) || !json_object_is_type(openMode, json_type_object)) return mode;
  bool flag = false;
  if (memberBool(openMode, "corrupt", &flag) && flag) mode |= RL_BR_OPEN_CORRUPT;
  if (memberBool(openMode, "dataonly", &flag) && flag) mode |= RL_BR_OPEN_DATAONLY;
  if (memberBool(openMode, "exclusive", &flag) && flag) mode |= RL_BR_OPEN_EXCLUSIVE;
  return mode;
}

// ---- request members ---------------------------------------------------------------------

namespace {

json_object* member(json_object* object, const char* key, json_type type) {
  json_object* value = nullptr;
  if (!object || !json_object_is_type(object, json_type_object) || !json_object_object_get_ex(object, key, &value))
    return nullptr;
  return json_object_is_type(value, type) ? value : nullptr;
}

}  // namespace

bool memberText(json_object* object, const char* key, const char** out) {
  json_object* value = member(object, key, json_type_string);
  if (value) *out = json_object_get_string(value);
  return value != nullptr;
}

bool memberInt(json_object* object, const char* key, int32_t* out) {
  json_object* value = member(object, key, json_type_int);
  if (value) *out = json_object_get_int(value);
  return value != nullptr;
}

bool memberBigint(json_object* object, const char* key, int64_t* out) {
  json_object* value = member(object, key, json_type_int);
  if (value) *out = json_object_get_int64(value);
  return value != nullptr;
}

bool memberBool(json_object* object, const char* key, bool* out) {
  json_object* value = member(object, key, json_type_boolean);
  if (value) *out = json_object_get_boolean(value);
  return value != nullptr;
}

const char* textOr(json_object* object, const char* key, const char* fallback) {
  const char* text = nullptr;
  return memberText(object, key, &text) ? text : fallback;
}

void refuseWithCodeZero(const char* message, json_object* reply) {
  zvJsonSetError(0, message, reply);
  zvJsonAddBoolean(reply, "success", false);
}

std::string boundedMessage(size_t size, const char* format, ...) {
  std::string text(size, '\0');
  va_list args;
  va_start(args, format);
  vsnprintf(text.data(), size, format, args);
  va_end(args);
  text.resize(strlen(text.c_str()));
  return text;
}

// ---- vocabulary --------------------------------------------------------------------------

namespace {

struct FieldType {
  int code;
  const char* name;
  bool listed;  // named by zvIsamExGetFields
  bool grid;    // shown with its name by the record grid
};

const FieldType kFieldTypes[] = {
    {8, "ZV_BOOL", true, true},       {16, "ZV_CHAR", true, true},       {24, "ZV_CHARU", true, true},
    {33, "ZV_INT2", true, true},      {41, "ZV_INT2U", true, true},      {51, "ZV_INT4", true, true},
    {59, "ZV_INT4U", true, true},     {231, "ZV_INT8", true, true},      {239, "ZV_INT8U", true, true},
    {67, "ZV_MONEY", true, true},     {75, "ZV_DATE", true, true},       {83, "ZV_TIME", true, true},
    {258, "ZV_TIME_MS", true, true},  {124, "ZV_TIMES", true, true},     {257, "ZV_TIMES_MS", true, true},
    {91, "ZV_SFLOAT", true, true},    {103, "ZV_DFLOAT", true, true},    {119, "ZV_EFLOAT", true, false},
    {128, "ZV_ARRAY", true, false},   {144, "ZV_FSTRING", true, true},   {152, "ZV_FPSTRING", true, false},
    {160, "ZV_F2STRING", true, true}, {168, "ZV_F4STRING", true, false}, {105, "ZV_NUMBER", true, true},
    {143, "ZV_CURRENCY", true, true}, {146, "ZV_STRING", true, true},    {154, "ZV_PSTRING", false, false},
    {162, "ZV_2STRING", true, true},  {170, "ZV_4STRING", true, true},   {193, "ZV_F2UNICODE", true, true},
    {201, "ZV_2UNICODE", true, true}, {259, "ZV_JSON", true, true},
};

const char* const kBinaryFlags[] = {"ZVDB_BINARY_UNKNOWN",        "ZVDB_BINARY_FIXED",   "ZVDB_BINARY_WITH_LENGTH",
                                    "ZVDB_BINARY_WITHOUT_LENGTH", "ZVDB_BINARY_VARCHAR", "ZVDB_BINARY_CLOB",
                                    "ZVDB_BINARY_BLOB",           "ZVDB_NUMBER_MONEY"};

struct KeyType {
  int code;
  const char* name;
  bool readable;  // accepted in requests
};

const KeyType kKeyTypes[] = {{0, "FIXED", false},         {4, "LEADING", true}, {8, "PADDING", true},
                             {12, "LEADPAD", true},       {128, "NOMOD", true}, {256, "DFRIDX", true},
                             {2147483647, "ERROR", false}};

const FieldType* typeOf(int code) {
  for (const auto& t : kFieldTypes)
    if (t.code == code) return &t;
  return nullptr;
}

}  // namespace

int fieldTypeCode(const char* name) {
  for (const auto& t : kFieldTypes)
    if (name && strcmp(t.name, name) == 0) return t.code;
  return 0;
}

const char* fieldTypeName(int code) {
  const FieldType* t = typeOf(code);
  return t && t->listed ? t->name : "Unknown Type";
}

const char* gridTypeName(int code) {
  const FieldType* t = typeOf(code);
  return t && t->grid ? t->name : "unknown";
}

int binaryFlagCode(const char* name) {
  for (int i = 0; i < 8; ++i)
    if (name && strcmp(kBinaryFlags[i], name) == 0) return i;
  return 0;
}

const char* binaryFlagName(int code) { return code >= 1 && code <= 7 ? kBinaryFlags[code] : ""; }

int keyTypeCode(const char* name) {
  for (const auto& k : kKeyTypes)
    if (k.readable && name && strcmp(k.name, name) == 0) return k.code;
  return 0;
}

const char* keyTypeName(int code) {
  for (const auto& k : kKeyTypes)
    if (k.code == code) return k.name;
  return "Unknown Type";
}

int segmentModeCode(const char* name, bool descending) {
  int mode = 12;
  if (name && strcmp(name, "USCHSEG") == 0) mode = 13;
  if (name && strcmp(name, "VSCHSEG") == 0) mode = 14;
  if (name && strcmp(name, "UVSCHSEG") == 0) mode = 15;
  if (name && strcmp(name, "SCHSRL") == 0) mode = 257;
  return descending ? mode | 16 : mode;
}

std::string segmentModeText(int mode) {
  static const char* const kLowBits[] = {"REGSEG",       "INTSEG",       "UREGSEG", "UREGSEG", "VARSEG", "UVARSEG",
                                         "Unknown Mode", "Unknown Mode", "SGNSEG",  "FLTSEG",  "DECSEG", "BCDSEG",
                                         "SCHSEG",       "USCHSEG",      "VSCHSEG", "UVSCHSEG"};
  std::string text;
  if (mode & 32) text += "ALTSEG / ";
  if (mode & 64) text += "ENDSEG / ";
  if (mode & 128) text += "UNCSEG / ";
  if (mode & 256) {
    if (mode == 257) return text + "SCHSRL";
    text += "RECBYT / ";
  }
  if (mode & 1024) text += "GNXSEG / ";
  return text + kLowBits[mode & 15];
}

// ---- catalog walks ---------------------------------------------------------------------------

namespace {

// Names are short; paths may be as long as the system allows, data root and all.
constexpr int32_t kNameRoom = 1024;
constexpr int32_t kPathRoom = PATH_MAX + 1;

template <class Step>
std::vector<CatalogEntry> walkCatalog(RLHANDLE handle, Step first, Step next, int* code) {
  std::vector<CatalogEntry> entries;
  std::vector<char> name(kNameRoom), path(kPathRoom);
  int r = first(handle, name.data(), kNameRoom, path.data(), kPathRoom);
  for (; r == 0; r = next(handle, name.data(), kNameRoom, path.data(), kPathRoom))
    entries.push_back(CatalogEntry{name.data(), path.data()});
  *code = r == RL_NOT_FOUND ? 0 : r;
  return entries;
}

}  // namespace

std::vector<CatalogEntry> listDatabases(RLHANDLE session, int* code) {
  return walkCatalog(session, api.zvdbFirstDatabase, api.zvdbNextDatabase, code);
}

std::vector<CatalogEntry> listTables(RLHANDLE database, int* code) {
  return walkCatalog(database, api.zvdbFirstTable, api.zvdbNextTable, code);
}

}  // namespace avocet
