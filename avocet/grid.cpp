// The record grid: a page of records with the grid's column and field
// descriptions, a field as hexadecimal pages, and the record edits. Records
// are found again by their record position ("recbyt"); nothing stays open
// between requests.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "VOKTBasic.h"
#include "avocet.h"

namespace avocet {

namespace {

constexpr int kBlobPageSize = 4096;
constexpr int kLargeText = 1024;  // string values needing a bigger buffer are shown as "< Large Data >"
// Rows of one page at most, whatever "limit" asks: a page is one reply in memory.
constexpr int32_t kMaxPageRows = 10000;
constexpr int kTypeCurrency = 143;
constexpr int kType4String = 170;

int defaultIndexNumber(int32_t index) {
  if (index == -1) return RL_BR_ORDER_PHYSICAL;
  if (index == -2) return RL_BR_ORDER_ROWID;
  return index;
}

// ---- grid columns ------------------------------------------------------------------------

// The grid's members for one group of field types, as JSON texts.
struct GridStyle {
  std::vector<int> codes;
  const char* field;   // members of the field description
  const char* column;  // members of the column
  const char* editor;  // the column's editor; null for none
};

const GridStyle kGridStyles[] = {
    {{8},
     R"({"type": "bool", "uncheckedValue": "false"})",
     R"({"align": "center", "xtype": "booleancolumn", "yxType": "ZV_BOOL"})",
     R"({"xtype": "checkbox"})"},
    {{16, 24, 144, 146, 160, 162, 193, 201},
     "{}",
     R"({"yxType": "ZV_STRING", "yxTooltip": true})",
     R"({"xtype": "textfield"})"},
    {{170}, "{}", R"({"tdCls": "custom-column", "yxType": "ZV_LVC", "yxTooltip": true})", nullptr},
    {{33, 41, 51, 59, 231, 239},
     R"({"type": "number"})",
     R"({"align": "right", "xtype": "numbercolumn", "format": "0,000"})",
     R"({"xtype": "numberfield", "allowDecimals": false, "hideTrigger": false})"},
    {{67, 143},
     R"({"type": "number"})",
     R"({"align": "right", "xtype": "numbercolumn", "format": "0,000.00"})",
     R"({"xtype": "numberfield", "allowDecimals": true, "decimalPrecision": 2, "hideTrigger": false})"},
    {{91, 103},
     R"({"type": "number"})",
     R"({"xtype": "numbercolumn", "format": "0,000.000000", "align": "right"})",
     R"({"xtype": "numberfield", "allowDecimals": true, "decimalPrecision": 6, "hideTrigger": false})"},
    {{105},
     R"({"type": "number"})",
     R"({"xtype": "numbercolumn", "format": "0,000.00", "align": "right"})",
     R"({"xtype": "numberfield", "allowDecimals": true, "decimalPrecision": 2, "hideTrigger": false})"},
    {{75},
     R"({"type": "date", "dateFormat": "m/d/Y"})",
     R"({"xtype": "datecolumn", "yxType": "ZV_DATE"})",
     R"({"xtype": "datefield"})"},
    {{83},
     R"({"type": "date", "dateFormat": "H:i:s"})",
     R"({"xtype": "timecolumn", "yxType": "ZV_TIME"})",
     R"({"xtype": "textfield"})"},
    {{258},
     R"({"type": "date", "dateFormat": "H:i:s.u"})",
     R"({"xtype": "timecolumn", "yxType": "ZV_TIME_MS"})",
     R"({"xtype": "textfield"})"},
    {{124},
     R"({"type": "date", "dateFormat": "m/d/Y H:i:s"})",
     R"({"xtype": "datetimecolumn", "yxType": "ZV_TIMES"})",
     R"({"xtype": "textfield"})"},
    {{257},
     R"({"type": "date", "dateFormat": "m/d/Y H:i:s.u"})",
     R"({"xtype": "datetimecolumn", "yxType": "ZV_TIMES_MS"})",
     R"({"xtype": "textfield"})"},
};
const GridStyle kOtherStyle = {{}, "{}", R"({"align": "start"})", R"({"xtype": "textfield"})"};

const GridStyle& gridStyle(int type) {
  for (const auto& s : kGridStyles)
    if (std::find(s.codes.begin(), s.codes.end(), type) != s.codes.end()) return s;
  return kOtherStyle;
}

// Adds (or replaces, in place) every member of the JSON text's object.
void addMembers(json_object* target, const char* text) {
  zvJsonPtr members(zvJsonFromString(text));
  json_object_object_foreach(members.get(), key, value) zvJsonAdd(target, key, json_object_get(value));
}

json_object* fixedColumn(int minWidth, int width, const char* dataIndex, const char* text) {
  json_object* column = zvJsonAlloc();
  zvJsonAddInt(column, "minWidth", minWidth);
  zvJsonAddInt(column, "width", width);
  zvJsonAddString(column, "align", "right");
  zvJsonAddString(column, "xtype", "numbercolumn");
  zvJsonAddString(column, "format", "0,000");
  zvJsonAddString(column, "dataIndex", dataIndex);
  zvJsonAddString(column, "text", text);
  zvJsonAddString(column, "tdCls", "custom-column");
  zvJsonAddString(column, "yxType", "ZV_READONLY");
  return column;
}

struct GridField {
  int number;
  int type;
  std::string dataIndex;
  json_object* column;  // owned by the columns array
  size_t width;         // characters, widened by the values shown
};

// The field and column descriptions of one field; false when its properties cannot be read.
bool describeGridField(RLHANDLE table, int number, const char* identity, json_object* fields, json_object* columns,
                       GridField* out) {
  RLHANDLE handle = api.zvdbGetField(table, number);
  const char* name = nullptr;
  int32_t type = 0, length = 0;
  if (!handle || api.zvdbGetFieldProperties(handle, &name, &type, &length) != 0 || !name) return false;
  bool isId = strcasecmp(name, "id") == 0;
  std::string dataIndex = isId ? "$id" : name;
  const char* label = isId ? "id" : name;
  const GridStyle& style = gridStyle(type);

  json_object* field = zvJsonAlloc();
  zvJsonAddString(field, "name", dataIndex.c_str());
  zvJsonAddInt(field, "fieldType", type);
  zvJsonAddBoolean(field, "allowNull", true);
  addMembers(field, style.field);
  zvJsonArrayAdd(fields, field);

  json_object* column = zvJsonAlloc();
  zvJsonAddInt(column, "minWidth", 50);
  zvJsonAddString(column, "align", "left");
  zvJsonAddBoolean(column, "yxTooltip", true);
  addMembers(column, style.column);
  if (style.editor) zvJsonAdd(column, "editor", zvJsonFromString(style.editor));
  if (identity && dataIndex == identity) {
    zvJsonAddString(column, "tdCls", "custom-column");
    zvJsonAdd(column, "editor", nullptr);
  }
  if (type == kTypeNumber) {
    int scale = api.zvdbGetFieldScale(handle);
    std::string format = "0,000";
    if (scale >= 1) format += "." + std::string(size_t(std::min(scale, 64)), '0');
    zvJsonAddString(column, "format", format.c_str());
  }
  zvJsonAddString(column, "dataIndex", dataIndex.c_str());
  std::string header = boundedMessage(128, "%s%s%s%s", label, "<br><font size = \"1\" color = \"blue\">(",
                                      gridTypeName(type), ")</font>");
  zvJsonAddString(column, "text", header.c_str());
  zvJsonArrayAdd(columns, column);
  *out = {number, type, dataIndex, column, std::max(strlen(label), strlen(gridTypeName(type)) + 3)};
  return true;
}

// ---- values ------------------------------------------------------------------------------

size_t longestLine(const char* text) {
  size_t longest = 0;
  while (*text) {
    size_t n = strcspn(text, "\r\n");
    longest = std::max(longest, n);
    text += n;
    if (*text) ++text;
  }
  return longest;
}

// Writes the field's value into row under its data index; the width it counts for its column.
size_t renderFieldValue(RLHANDLE record, const GridField& f, json_object* row) {
  const char* key = f.dataIndex.c_str();
  int length = std::max(0, api.zvdbGetFieldDataLength(record, f.number));
  std::vector<char> text(size_t(length) + 16, '\0');
  char small[64] = {};
  switch (f.type) {
    case RL_TYPE_BIT:
    case RL_TYPE_DATE:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      if (api.zvdbGetFieldAsString(record, f.number, text.data(), int32_t(text.size())) != 0) return 0;
      zvJsonAddString(row, key, text.data());
      return strlen(text.data());
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_CHAR:
    case RL_TYPE_VARCHAR_FIXED:
    case RL_TYPE_CHAR1:
    case RL_TYPE_BINARY:
    case RL_TYPE_VARBINARY:
    case RL_TYPE_LONG:
    case RL_TYPE_NCHAR:
    case RL_TYPE_NVARCHAR:
      if (length + 16 > kLargeText) {
        zvJsonAddString(row, key, "< Large Data >");
        return 14;
      }
      if (api.zvdbGetFieldAsString(record, f.number, text.data(), int32_t(text.size())) != 0) return 0;
      zvJsonAddString(row, key, text.data());
      return longestLine(text.data());
    case RL_TYPE_TIME4:
    case RL_TYPE_TIME: {
      int32_t milliseconds = 0;
      bool msec = f.type == RL_TYPE_TIME;
      int r = msec ? api.zvdbGetFieldAsTimeMsec(record, f.number, &milliseconds)
                   : api.zvdbGetFieldAsTime(record, f.number, &milliseconds);
      if (r == 0)
        r = msec ? api.zvdbTimeMsecToString(milliseconds, 11, small, 32)
                 : api.zvdbTimeToString(milliseconds, 8, small, 32);
      if (r != 0) return 0;
      zvJsonAddString(row, key, small);
      return strlen(small) + (msec ? 0 : 2);
    }
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_TIMESTAMP: {
      ZvdbDateTime value{};
      int r = api.zvdbGetFieldAsDateTime(record, f.number, &value);
      if (r == 0) r = api.zvdbDateTimeToString(&value, 1, f.type == RL_TYPE_TIMESTAMP8 ? 8 : 11, small, 64);
      if (r != 0) return 0;
      zvJsonAddString(row, key, small);
      return strlen(small);
    }
    case kTypeNumber:
    case kTypeCurrency: {
      // The engine's own text keeps every stored digit; a double would not.
      std::vector<char> digits(size_t(std::max(length, 64)) + 16, '\0');
      if (api.zvdbGetFieldAsString(record, f.number, digits.data(), int32_t(digits.size())) != 0) return 0;
      zvJsonAddString(row, key, digits.data());
      return strlen(digits.data());
    }
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE: {
      double value = 0;
      if (api.zvdbGetFieldAsFloat(record, f.number, &value) == 0) zvJsonAddDouble(row, key, value);
      return 0;
    }
    case RL_TYPE_MONEY4: {
      ZvdbMoney value = 0;
      if (api.zvdbGetFieldAsMoney(record, f.number, &value) == 0)
        zvJsonAddDouble(row, key, api.zvdbMoneyToFloat(value));
      return 0;
    }
    case kTypeJson:
      api.zvdbGetFieldAsJSON(record, f.number, text.data(), int32_t(text.size()), 10);
      zvJsonAddString(row, key, text.data());
      return 0;
    default:
      zvJsonAddString(row, key, "Unknown Type");
      return 0;
  }
}

json_object* recordRow(TableHandles& handles, int rowNumber, bool hasRowid, std::vector<GridField>& fields) {
  json_object* row = zvJsonAlloc();
  zvJsonAddInt(row, "id", rowNumber);
  int64_t value = 0;
  if (hasRowid && api.zvdbGetRowid(handles.record, &value) == 0) zvJsonAddBigint(row, "rowid", value);
  value = 0;
  api.zvdbGetRecordPos(handles.record, &value);
  zvJsonAddBigint(row, "recbyt", value);
  for (auto& f : fields) {
    if (api.zvdbIsNullField(handles.record, f.number)) {
      zvJsonAddString(row, f.dataIndex.c_str(), "(null)");
      continue;
    }
    f.width = std::max(f.width, renderFieldValue(handles.record, f, row));
  }
  return row;
}

void emptyPage(json_object* reply) {
  json_object* metaData = zvJsonAlloc();
  zvJsonAdd(metaData, "columns", nullptr);
  zvJsonAdd(metaData, "fields", nullptr);
  zvJsonAdd(reply, "metaData", metaData);
  zvJsonAdd(reply, "rows", nullptr);
  zvJsonAddBigint(reply, "total", 0);
  zvJsonSetSuccess(reply);
}

// ---- record edits ------------------------------------------------------------------------

// The request's "fields": a text holding a JSON value (an object sent as is is taken too); null when absent.
zvJsonPtr parsedFields(json_object* request, bool* malformed) {
  *malformed = false;
  json_object* value = nullptr;
  if (!zvJsonGetByName(request, "fields", &value) || !value) return nullptr;
  if (json_object_is_type(value, json_type_object) || json_object_is_type(value, json_type_array))
    return zvJsonPtr(json_object_get(value));
  zvJsonPtr parsed(json_object_is_type(value, json_type_string) ? zvJsonFromString(json_object_get_string(value))
                                                                : nullptr);
  *malformed = !parsed || !(json_object_is_type(parsed.get(), json_type_object) ||
                            json_object_is_type(parsed.get(), json_type_array));
  return *malformed ? nullptr : std::move(parsed);
}

// The record position a "fields" object names: -1 when none or negative;
// false when "recbyt" is there but names no position. The grid shows its
// values as texts, so a position sent back as decimal digits counts too.
bool recordPositionOf(json_object* fields, int64_t* position) {
  *position = -1;
  json_object* value = nullptr;
  if (!json_object_object_get_ex(fields, "recbyt", &value)) return true;
  if (json_object_is_type(value, json_type_int)) {
    *position = std::max<int64_t>(-1, json_object_get_int64(value));
    return true;
  }
  if (!json_object_is_type(value, json_type_string)) return false;
  const char* text = json_object_get_string(value);
  if (!*text || strspn(text, "0123456789") != strlen(text)) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = strtoll(text, &end, 10);
  if (errno != 0) return false;
  *position = parsed;
  return true;
}

// The members every record edit sends: its table and its "fields".
struct RecordEdit {
  const char* database = nullptr;
  const char* name = nullptr;
  zvJsonPtr fields;     // null when absent
  int64_t recbyt = -1;  // the object's "recbyt"; -1 when none or negative
};

// False with the reply set: 999 without the table, 9007 when "fields" is not
// a JSON object (nor an array, when arrays are taken).
bool readRecordEdit(json_object* request, const char* command, bool arrayTaken, json_object* reply, RecordEdit* edit) {
  if (!memberText(request, "database", &edit->database) || !memberText(request, "name", &edit->name)) {
    zvJsonSetError(999, "Missing parameters", reply);
    return false;
  }
  bool malformed = false;
  edit->fields = parsedFields(request, &malformed);
  bool isObject = edit->fields && json_object_is_type(edit->fields.get(), json_type_object);
  if (malformed || (edit->fields && !isObject && !arrayTaken)) {
    zvJsonSetError(9007, (std::string(command) + " - Invalid parameter - fields is not a JSON object").c_str(), reply);
    return false;
  }
  // A creation (the one edit that takes arrays) ignores "recbyt"; the others act on the record it names.
  if (isObject && !arrayTaken && !recordPositionOf(edit->fields.get(), &edit->recbyt)) {
    zvJsonSetError(9007, (std::string(command) + " - Invalid parameter - recbyt is not a record position").c_str(),
                   reply);
    return false;
  }
  return true;
}

void answer(int rc, const char* message, json_object* reply) {
  if (rc != 0)
    zvJsonSetError(rc, message, reply);
  else
    zvJsonSetSuccess(reply);
}

// The text a value is written from: strings as they are, JSON values (for JSON fields) as JSON.
std::string valueText(json_object* value) {
  // With its length: a NUL byte inside reaches the engine, which refuses the text rather than cut it.
  if (json_object_is_type(value, json_type_string))
    return std::string(json_object_get_string(value), size_t(json_object_get_string_len(value)));
  if (json_object_is_type(value, json_type_object) || json_object_is_type(value, json_type_array))
    return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
  return json_object_get_string(value);
}

// Opens the table for writing and positions on recbyt when it is not negative; false with the reply set.
bool openForWriting(TableHandles& handles, const char* database, const char* name, json_object* request,
                    json_object* reply) {
  if (!handles.allocDatabase()) {
    zvJsonSetSuccess(reply);
    return false;
  }
  int r = handles.connect(database);
  if (r == 0 && !(handles.allocTable() && handles.allocRecord())) {
    zvJsonSetSuccess(reply);
    return false;
  }
  if (r == 0) r = handles.open(name, 0, request);
  if (r == RL_BR_CONFLICT) zvJsonSetError(r, "Conflicting open requests", reply);
  if (r != 0 && r != RL_BR_CONFLICT) zvJsonSetError(r, "zvdb Error", reply);
  return r == 0;
}

// Sets the object's members on the record; false with the reply set when one is refused.
bool setMembers(TableHandles& handles, json_object* fields, bool creating, json_object* reply) {
  json_object_object_foreach(fields, key, value) {
    if (strcmp(key, "recbyt") == 0 || (creating && strcmp(key, "rowid") == 0)) continue;
    int number = api.zvdbGetFieldNumber(handles.table, key);
    if (number < 0) {
      zvJsonSetError(
          999,
          boundedMessage(128, creating ? "zvdb Error - Field '%s' type not found" : "zvdb Error - Field '%s' not found",
                         key)
              .c_str(),
          reply);
      return false;
    }
    // Only a JSON null clears a field: any other value is written from its text.
    std::string text = value == nullptr ? std::string() : valueText(value);
    int r = value == nullptr ? api.zvdbClearField(handles.record, number)
                             : api.zvdbSetFieldAsText(handles.record, number, text.data(), int64_t(text.size()));
    if (r != 0) {
      zvJsonSetError(r, boundedMessage(128, "zvdb Error - Cannot set Field '%s' value", key).c_str(), reply);
      return false;
    }
  }
  return true;
}

// Runs the steps in order while each returns 0; after a failure past the
// begin the session's transaction is aborted. The failing step's code, or 0.
template <typename... Steps>
int inTransaction(RLHANDLE session, Steps... steps) {
  int r = api.zvdbBegin(session);
  if (r != 0) return r;
  for (auto step : {std::function<int()>(steps)...}) {
    if ((r = step()) != 0) {
      api.zvdbAbort(session);
      return r;
    }
  }
  return 0;
}

}  // namespace

void readRecordPage(TableCommandContext& context, json_object* reply, json_object* request) {
  int32_t limit = 0, start = 0, index = 0;
  const char* database = nullptr;
  const char* name = nullptr;
  bool createNew = false;
  if (!memberInt(request, "limit", &limit) || !memberInt(request, "start", &start) ||
      !memberInt(request, "index", &index) || !memberText(request, "database", &database) ||
      !memberText(request, "name", &name)) {
    zvJsonSetError(999, "Missing parameters", reply);
    return;
  }
  memberBool(request, "createNew", &createNew);
  TableHandles handles(context.slot->session);
  if (!handles.allocDatabase()) return emptyPage(reply);
  int rc = handles.connect(database);
  if (rc == 0) {
    if (!handles.allocTable() || !handles.allocRecord()) return emptyPage(reply);
    rc = handles.open(name, RL_BR_OPEN_READONLY, request);
  }
  if (rc == 0) {
    api.zvdbSetDefaultIndex(handles.record, defaultIndexNumber(index));
    rc = api.zvdbFirstRecord(handles.record);
  }
  if (rc == RL_NOT_FOUND) return emptyPage(reply);
  if (rc != 0) {
    zvJsonSetError(rc, "Open failed", reply);
    return;
  }

  json_object* columns = zvJsonAllocArray();
  json_object* fieldList = zvJsonAllocArray();
  zvJsonArrayAdd(columns, fixedColumn(20, 70, "rowid", "RowId"));
  zvJsonArrayAdd(columns, fixedColumn(30, 80, "recbyt", "Recbyt"));
  json_object* rowidField = zvJsonAlloc();
  zvJsonAddString(rowidField, "name", "rowid");
  zvJsonAddString(rowidField, "type", "number");
  zvJsonArrayAdd(fieldList, rowidField);
  json_object* recbytField = zvJsonAlloc();
  zvJsonAddString(recbytField, "name", "recbyt");
  zvJsonAddBoolean(recbytField, "critical", true);
  zvJsonAddString(recbytField, "type", "number");
  zvJsonArrayAdd(fieldList, recbytField);
  int64_t seed = 0, increment = 0;
  const char* identityName = api.zvdbGetIdentityFieldDetails(handles.table, &seed, &increment);
  std::string identity = identityName ? identityName : "";
  std::vector<GridField> fields;
  int count = api.zvdbGetTableFieldCount(handles.table);
  for (int i = 0; i < count; ++i) {
    GridField f{};
    if (describeGridField(handles.table, i, identityName ? identity.c_str() : nullptr, fieldList, columns, &f))
      fields.push_back(f);
  }

  int64_t total = 0;
  rc = api.zvdbGetRecordCount(handles.record, &total);
  if (start > 0 && rc == 0) rc = api.zvdbJumpToRecord(handles.record, start);
  if (createNew) total = 1;
  json_object* rows = zvJsonAllocArray();
  bool hasRowid = api.zvdbHasRowid(handles.table) != 0;
  for (int r = 0; rc == 0 && r < total && r < std::min(limit, kMaxPageRows); ++r) {
    zvJsonArrayAdd(rows, recordRow(handles, r, hasRowid, fields));
    rc = api.zvdbNextRecord(handles.record);
  }
  for (auto& f : fields) {
    const char* align = "";
    memberText(f.column, "align", &align);
    bool right = strcmp(align, "right") == 0 || strcmp(align, "end") == 0;
    zvJsonAddInt(f.column, "width", int32_t(f.width * 7 + (right ? 15 : 10)));
  }
  if (rc != 0 && rc != RL_NOT_FOUND) {
    zvJsonRelease(columns);
    zvJsonRelease(fieldList);
    zvJsonRelease(rows);
    zvJsonSetError(rc, "Open failed", reply);
    return;
  }
  json_object* metaData = zvJsonAlloc();
  zvJsonAdd(metaData, "columns", columns);
  zvJsonAdd(metaData, "fields", fieldList);
  zvJsonAdd(reply, "metaData", metaData);
  zvJsonAdd(reply, "rows", rows);
  zvJsonAddBigint(reply, "total", total);
  zvJsonSetSuccess(reply);
}

void getTableBlob(TableCommandContext& context, json_object* reply, json_object* request) {
  int32_t limit = 0, start = 0, index = 0;
  const char* database = nullptr;
  const char* name = nullptr;
  const char* column = nullptr;
  bool fullBlob = false;
  int64_t recbyt = 0;
  if (!memberInt(request, "limit", &limit) || !memberInt(request, "start", &start) ||
      !memberInt(request, "index", &index) || !memberText(request, "database", &database) ||
      !memberText(request, "name", &name) || !memberText(request, "column", &column) ||
      !memberBool(request, "fullBlob", &fullBlob) || !memberBigint(request, "recbyt", &recbyt)) {
    zvJsonSetError(999, "Missing parameters", reply);
    return;
  }
  if (start < 0) {
    zvJsonSetError(9007, "zvIsamExGetTableBlob - Invalid parameter - start must not be negative", reply);
    return;
  }
  TableHandles handles(context.slot->session);
  if (!handles.allocDatabase() || handles.connect(database) != 0 || !handles.allocTable() || !handles.allocRecord() ||
      handles.open(name, RL_BR_OPEN_READONLY, request) != 0 ||
      api.zvdbSetDefaultIndex(handles.record, defaultIndexNumber(index)) != 0) {
    zvJsonSetSuccess(reply);
    return;
  }
  int rc = api.zvdbSeekRecord(handles.record, recbyt);
  if (rc != 0) {
    zvJsonSetError(rc, "Seek Error", reply);
    return;
  }
  int number = api.zvdbGetFieldNumber(handles.table, column);
  int length = std::max(0, api.zvdbGetFieldDataLength(handles.record, number));
  std::unique_ptr<ZvdbBlob, decltype(api.zvdbBlobFree)> blob(api.zvdbBlobAlloc(length + 16), api.zvdbBlobFree);
  rc = blob ? api.zvdbGetFieldAsBlob(handles.record, number, blob.get()) : api.zvdbGetError(handles.record);
  if (rc != 0 || !blob) {
    zvJsonSetError(rc, "Get Blob", reply);
    return;
  }
  int64_t size = api.zvdbBlobGetSize(blob.get());
  const unsigned char* bytes = api.zvdbBlobGetData(blob.get());
  int64_t offset = int64_t(start) * kBlobPageSize;
  int64_t count = fullBlob || size <= kBlobPageSize ? size : kBlobPageSize;
  std::string data;
  static const char* kHex = "0123456789ABCDEF";
  for (int64_t i = 0; i < count && offset + i < size; ++i) {
    data += kHex[bytes[offset + i] >> 4];
    data += kHex[bytes[offset + i] & 15];
  }
  json_object* result = zvJsonAlloc();
  zvJsonAddBigint(result, "total", (size + kBlobPageSize - 1) / kBlobPageSize);
  zvJsonAddInt(result, "pageSize", kBlobPageSize);
  zvJsonAddInt(result, "start", start);
  zvJsonAddString(result, "data", data.c_str());
  zvJsonAdd(reply, "result", result);
  zvJsonSetSuccess(reply);
}

void setTableBlob(TableCommandContext& context, json_object* reply, json_object* request) {
  int32_t limit = 0, start = 0;
  const char* database = nullptr;
  const char* name = nullptr;
  const char* column = nullptr;
  const char* data = nullptr;
  int64_t recbyt = 0;
  TableHandles handles(context.slot->session);
  if (!memberInt(request, "limit", &limit) || !memberInt(request, "start", &start) ||
      !memberText(request, "database", &database) || !memberText(request, "name", &name) ||
      !memberText(request, "column", &column) || !memberText(request, "data", &data) ||
      !memberBigint(request, "recbyt", &recbyt) || !handles.allocDatabase()) {
    zvJsonSetError(999, "Missing parameters", reply);
    return;
  }
  if (handles.connect(database) != 0 || !handles.allocTable() || !handles.allocRecord() ||
      handles.open(name, 0, request) != 0 || api.zvdbSeekRecord(handles.record, recbyt) != 0)
    return;  // the reply stays empty
  int number = api.zvdbGetFieldNumber(handles.table, column);
  if (number < 0) {
    zvJsonSetError(999, boundedMessage(128, "zvdb Error - Field '%s' not found", column).c_str(), reply);
    return;
  }
  int rc = 0;
  if (api.zvdbGetFieldType(api.zvdbGetField(handles.table, number)) == kType4String) {
    std::unique_ptr<ZvdbBlob, decltype(api.zvdbBlobFree)> blob(api.zvdbBlobAlloc(int32_t(strlen(data) / 2)),
                                                               api.zvdbBlobFree);
    rc = blob ? api.rlBlobSetHex(blob.get(), data) : api.zvdbGetError(handles.record);
    if (rc == RL_BR_BAD_HEX) {
      zvJsonSetError(9007, "zvIsamExSetTableBlob - Invalid parameter - data must be pairs of hexadecimal digits",
                     reply);
      return;
    }
    if (rc == 0) rc = api.zvdbSetFieldAsBlob(handles.record, number, blob.get());
  } else {
    rc = api.zvdbSetFieldAsString(handles.record, number, data);
  }
  if (rc != 0) {
    zvJsonSetError(rc, boundedMessage(128, "zvdb Error - Cannot set Field '%s' value", column).c_str(), reply);
    return;
  }
  RLHANDLE session = handles.session();
  if ((rc = api.zvdbBegin(session)) != 0) {
    zvJsonSetError(rc, "Seek Error", reply);
    return;
  }
  if (api.zvdbGetRecordLock(handles.record) != 0) {
    api.zvdbAbort(session);
    refuseWithCodeZero("Record Locked", reply);
    return;
  }
  rc = api.zvdbLockRecord(handles.record, 3);
  if (rc == 0) {
    rc = api.zvdbWriteRecord(handles.record);
    api.zvdbLockRecord(handles.record, 0);
  }
  if (rc == 0) rc = api.zvdbCommit(session);
  if (rc != 0) {
    api.zvdbAbort(session);
    zvJsonSetError(rc, "Write Error", reply);
    return;
  }
  zvJsonSetSuccess(reply);
}

void updateRecord(TableCommandContext& context, json_object* reply, json_object* request) {
  RecordEdit edit;
  if (!readRecordEdit(request, "zvIsamExUpdateTableRecord", false, reply, &edit)) return;
  if (edit.recbyt < 0) {
    zvJsonSetSuccess(reply);  // no record named: nothing to write
    return;
  }
  TableHandles handles(context.slot->session);
  if (!openForWriting(handles, edit.database, edit.name, request, reply)) return;
  int rc = api.zvdbSeekRecord(handles.record, edit.recbyt);
  if (rc != 0) {
    zvJsonSetError(rc, "Write record error", reply);
    return;
  }
  if (!setMembers(handles, edit.fields.get(), false, reply)) return;
  RLHANDLE record = handles.record;
  rc = inTransaction(
      handles.session(), [&] { return api.zvdbLockRecord(record, 3); }, [&] { return api.zvdbWriteRecord(record); },
      [&] { return api.zvdbUnlockRecord(record); }, [&] { return api.zvdbCommit(handles.session()); });
  answer(rc, "Write record error", reply);
}

void createRecord(TableCommandContext& context, json_object* reply, json_object* request) {
  RecordEdit edit;
  if (!readRecordEdit(request, "zvIsamExCreateTableRecord", true, reply, &edit)) return;
  if (!edit.fields) {
    zvJsonSetSuccess(reply);
    return;
  }
  TableHandles handles(context.slot->session);
  if (!openForWriting(handles, edit.database, edit.name, request, reply)) return;
  api.zvdbClearRecord(handles.record);
  int edited = api.zvdbSetEditedRecord(handles.record, 1);
  if (edited != 0) {
    zvJsonSetError(edited, edited == RL_BR_CONFLICT ? "Conflicting open requests" : "zvdb Error", reply);
    return;
  }
  // An array names no fields: the cleared record is written.
  if (json_object_is_type(edit.fields.get(), json_type_object) && !setMembers(handles, edit.fields.get(), true, reply))
    return;
  RLHANDLE record = handles.record;
  int rc = inTransaction(
      handles.session(), [&] { return api.zvdbWriteRecord(record); },
      [&] { return api.zvdbCommit(handles.session()); });
  answer(rc, "Write record error", reply);
}

void removeRecord(TableCommandContext& context, json_object* reply, json_object* request) {
  RecordEdit edit;
  if (!readRecordEdit(request, "zvIsamExRemoveTableRecord", false, reply, &edit)) return;
  if (edit.recbyt < 0) {
    zvJsonSetSuccess(reply);
    return;
  }
  TableHandles handles(context.slot->session);
  if (!openForWriting(handles, edit.database, edit.name, request, reply)) return;
  int rc = api.zvdbSeekRecord(handles.record, edit.recbyt);
  if (rc != 0) {
    zvJsonSetError(rc, "zvdb Error", reply);
    return;
  }
  RLHANDLE record = handles.record;
  bool deleted = false;
  rc = inTransaction(
      handles.session(), [&] { return api.zvdbLockRecord(record, 3); },
      [&] {
        int r = api.zvdbDeleteRecord(record);
        deleted = r == 0;
        return r;
      },
      [&] { return api.zvdbUnlockRecord(record); }, [&] { return api.zvdbCommit(handles.session()); });
  answer(rc, deleted ? "Remove record Error" : "zvdb Remove Error", reply);
}

void setFieldNull(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  const char* tableName = nullptr;
  const char* colName = nullptr;
  int64_t recbyt = 0;
  if (!memberText(request, "database", &database) || !memberText(request, "tableName", &tableName) ||
      !memberText(request, "colName", &colName) || !memberBigint(request, "recbyt", &recbyt)) {
    refuseWithCodeZero("Set Null Error", reply);
    return;
  }
  TableHandles handles(context.slot->session);
  if (!openForWriting(handles, database, tableName, request, reply)) return;
  int rc = api.zvdbSeekRecord(handles.record, recbyt);
  if (rc != 0) {
    zvJsonSetError(rc, "Update record error", reply);
    return;
  }
  int number = api.zvdbGetFieldNumber(handles.table, colName);
  if (number >= 0 && (rc = api.zvdbClearField(handles.record, number)) != 0) {
    zvJsonSetError(rc, "Cannot set the field to NULL", reply);
    zvJsonSetError(rc, "zvdb Error", reply);
    return;
  }
  RLHANDLE record = handles.record;
  rc = inTransaction(
      handles.session(), [&] { return api.zvdbLockRecord(record, 3); }, [&] { return api.zvdbWriteRecord(record); },
      [&] { return api.zvdbUnlockRecord(record); }, [&] { return api.zvdbCommit(handles.session()); });
  answer(rc, "Update record error", reply);
}

}  // namespace avocet
