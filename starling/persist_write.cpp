// Writing a persisted message: the topic row and the rows of its child
// tables; and the child tables themselves.
#include <strings.h>

#include <cstring>

#include "persist.h"

namespace {

// At most `limit` bytes of text, cut before a UTF-8 continuation byte so that
// a log line never ends inside a character.
std::string cutText(const char* text, size_t length, size_t limit) {
  size_t n = length < limit ? length : limit;
  if (n < length)
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
  std::string out(text, n);
  for (char& c : out)
    if (c == '\0') c = ' ';
  return out;
}

void logTo(const MQTTPersist* persist, int code, const char* format, const char* text) {
  char line[1400];
  snprintf(line, sizeof line, format, text);
  persist->Log(line, code);
}

// Runs one field's step, logging a failure; true when it succeeded (else
// the failure's code in *code when given).
template <class Step>
bool fieldStep(const MQTTPersist* persist, Step step, int* code = nullptr) {
  try {
    step();
    return true;
  } catch (const YXException& e) {
    logTo(persist, e.GetErrorCode(), "starling - %s", e.GetErrorMsg());
    if (code != nullptr) *code = e.GetErrorCode();
    return false;
  }
}

// The extractor's code for a payload that is not JSON at all: no field has
// a value then (the message has no data), rather than a value that does not fit.
constexpr int kPayloadNotJson = 10103;

bool setField(const MQTTPersistField& field, ZVRecord* record, int64_t context, char* error,
              const MQTTPersist* persist) {
  return fieldStep(persist, [&] { field.SetFieldValue(record, context, error, persist); });
}

bool isNamed(const std::string& name, const char* wanted) { return strcasecmp(name.c_str(), wanted) == 0; }

int64_t identityOf(ZVRecord* record, const MQTTPersist* persist, bool* ok) {
  int64_t key = 0;
  int rc = rlGetIdentityValue(record->GetHandle(), &key);
  *ok = rc == 0;
  if (rc != 0) persist->Log("starling - Not able to retrieve PrimaryKey of the record being inserted.", rc);
  return key;
}

void writeChildren(const MQTTPersistChildTableMap& children, ZVDatabasePooled* db, int64_t key, int64_t context,
                   char* error, const MQTTPersist* persist) {
  for (const auto& [path, child] : children) {
    try {
      child->SetFieldValue(db, key, context, error, persist);
    } catch (const YXException& e) {
      logTo(persist, e.GetErrorCode(), "starling - %s", e.GetErrorMsg());
    }
  }
}

}  // namespace

// ---- staged values ----

void MQTTPersistStage::Add(const MQTTPersistMsg& msg) {
  Row row;
  row.firstValue = values_.size();
  if (persist_.HasMapFields()) {
    row.prepared = persist_.Extractor().prepare(msg.payload, msg.payloadLength);
    if (row.prepared == 0) {
      char line[1400];
      snprintf(line, sizeof line,
               "starling - Failed to persist MQTT message for topic [%s] - Not able to prepare message [%s]",
               persist_.GetTopic(), cutText(msg.payload, msg.payloadLength, 256).c_str());
      persist_.Log(line, 10007);
      // A store-and-forward topic keeps the message whole (its payload and
      // QoS) for its subscribers; no mapped column is then written.
      if (!persist_.IsStoreForward()) {
        rows_.push_back(row);
        return;
      }
    }
  }
  // A schema topic that transforms at store time keeps the decoded text next
  // to the payload.
  std::string transformed;
  if (persist_.TransformsWhenStored() && persist_.TransformPayload(msg.payload, msg.payloadLength, &transformed) &&
      !transformed.empty()) {
    row.transformedOffset = bytes_.size();
    row.transformedLength = transformed.size();
    bytes_.insert(bytes_.end(), transformed.begin(), transformed.end());
  }
  rows_.push_back(row);  // owns the handle from here on
  char error[1024];
  bool any = false, refused = false;
  for (const MQTTPersistField* field : persist_.GetWrittenFields()) {
    if (!field->hasPath) {
      if (!isNamed(field->fieldName, "qos")) any = true;  // the whole payload, set from the message itself
      continue;
    }
    if (row.prepared == 0) continue;
    int32_t entries = 0, length = 0;
    // A value that does not fit its field refuses the whole row: a column
    // left NULL would pass for a value that was never sent.
    int code = 0;
    if (!fieldStep(
            &persist_, [&] { length = field->Extract(row.prepared, scratch_, &entries, error, &persist_); }, &code)) {
      // A store-and-forward row carries the message whole: it is kept.
      refused = code != kPayloadNotJson && !persist_.IsStoreForward();
      if (refused) break;
      continue;
    }
    size_t offset = bytes_.size();
    bytes_.insert(bytes_.end(), scratch_.data(), scratch_.data() + length);
    values_.push_back({field, offset, length, entries});
    any = true;
  }
  Row& stored = rows_.back();
  stored.valueCount = values_.size() - stored.firstValue;
  // A topic whose map holds only child tables writes its row for them.
  if (persist_.HasChildTable() && stored.prepared != 0) any = true;
  stored.writable = any && !refused;
  if (refused) {
    char line[1400];
    snprintf(line, sizeof line,
             "starling - Failed to persist MQTT message for topic [%s] - a value does not fit its field, the message "
             "is not stored: [%s]",
             persist_.GetTopic(), cutText(msg.payload, msg.payloadLength, 256).c_str());
    persist_.Log(line, 10007);
  }
  // Only child tables read the prepared message again (inside the
  // transaction): for the others it goes now, so that a batch never holds
  // more than one prepared message at a time.
  if (stored.prepared != 0 && !persist_.HasChildTable()) {
    persist_.Extractor().release(stored.prepared);
    stored.prepared = 0;
  }
  if (!any && !refused)
    persist_.Log("starling - There is no valid data to be persisted. Message has been skipped.", 10007);
}

void MQTTPersistStage::Clear() noexcept {
  for (const Row& row : rows_)
    if (row.prepared != 0) persist_.Extractor().release(row.prepared);
  rows_.clear();
  values_.clear();
  bytes_.clear();
}

void MQTTPersistMsg::Persist(MQTTPersist* persist, ZVDatabasePooled* db, ZVRecord* record,
                             const MQTTPersistStage& stage, size_t index) {
  const char* fn = "MQTTPersistMsg::Persist";
  const MQTTPersistStage::Row& row = stage.row(index);
  if (!row.writable) return;
  char error[1024];
  try {
    record->SetNew(1);  // clears the record
    bool hasData = false;
    for (const MQTTPersistField* field : persist->GetWrittenFields()) {
      if (field->hasPath) continue;
      if (isNamed(field->fieldName, "qos")) {
        record->SetFieldAsSigned(field->fieldName.c_str(), qos);  // store-and-forward delivers with it
        continue;
      }
      record->SetFieldAsBlob(field->fieldName.c_str(), payload, payloadLength);
      hasData = true;
    }
    for (size_t i = row.firstValue; i < row.firstValue + row.valueCount; i++) {
      const MQTTPersistStage::Value& v = stage.value(i);
      try {
        v.field->SetExtracted(record, stage.bytes(v), v.length, v.entries, error);
        hasData = true;
      } catch (const YXException& e) {
        // The column cannot take the value (too long, out of its range): the
        // row is refused whole, never written with the column NULL. A
        // store-and-forward row keeps the message whole for its subscribers.
        if (!persist->IsStoreForward()) starlingThrow(fn, 10007, "%s - the message is not stored", e.GetErrorMsg());
        logTo(persist, e.GetErrorCode(), "starling - %s", e.GetErrorMsg());
      }
    }
    if (row.transformedLength > 0)
      record->SetFieldAsString("target_payload",
                               std::string(stage.bytes(row.transformedOffset), row.transformedLength).c_str());
    // The row of a topic with child tables links them, even without columns of its own.
    if (!hasData && !(persist->HasChildTable() && row.prepared != 0)) {
      persist->Log("starling - There is no valid data to be persisted. Message has been skipped.", 10007);
      return;
    }
    record->Write();
    if (!persist->HasChildTable()) return;
    bool ok = false;
    int64_t key = identityOf(record, persist, &ok);
    // Without the key the child rows cannot be linked: the row goes too.
    if (!ok) starlingThrow(fn, 10007, "Not able to retrieve PrimaryKey of the record being inserted.");
    if (row.prepared != 0) writeChildren(persist->GetChildTableHash(), db, key, row.prepared, error, persist);
  } catch (const ZVException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

// ---- child tables ----

MQTTPersistChildTable::MQTTPersistChildTable(json_object* json, const MQTTPersist* persist) {
  const char* fn = "MQTTPersistChildTable::MQTTPersistChildTable";
  const char* text = nullptr;
  if (!zvJsonGetStringByName(json, "propertyPath", &text)) starlingThrow(fn, 10004, "Missing Tag Name");
  propertyPath = text;
  if (!zvJsonGetStringByName(json, "childTableName", &text) || text[0] == '\0')
    starlingThrow(fn, 10004, "Missing Child Table Name");
  persistCheckTableName(text, "child table name");
  tableName = text;
  json_object* map = nullptr;
  int n = zvJsonGetArrayByName(json, "mapOfPropertiesToFields", &map) ? zvJsonArrayLength(map) : 0;
  const char* childType = nullptr;
  bool hasType = zvJsonGetStringByName(json, "childFieldType", &childType) != 0;
  if (n > 0) {
    for (int i = 0; i < n; i++) {
      json_object* element = zvJsonArrayGetIdx(map, i);
      const char* path = nullptr;
      if (!zvJsonGetStringByName(element, "propertyPath", &path))
        starlingThrow(fn, 10004, "Missing propertyPath in mapOfPropertiesToFields element");
      const char* child = nullptr;
      if (zvJsonGetStringByName(element, "childTableName", &child) && child[0] != '\0') {
        if (children.count(path) == 0) children[path] = std::make_unique<MQTTPersistChildTable>(element, persist);
      } else if (fields.count(path) == 0) {
        fields[path] = std::make_unique<MQTTPersistField>(element, persist);
      }
    }
    valueType = -1, width = 0, scale = 0, format = 0, dateFormat = 0, timeFormat = 0;
    return;
  }
  if (!hasType) {
    fields["source_payload"].reset(MQTTPersistField::NewSourcePayloadField());
    valueType = -1, width = 0, scale = 0, format = 0, dateFormat = 0, timeFormat = 0;
    return;
  }
  MQTTPersistField value;
  value.readType(json, "childFieldType", "childFieldWidth", "childFieldScale", persist);
  valueType = value.type, binaryFlag = value.binaryFlag, width = value.width, scale = value.scale;
  format = value.format, dateFormat = value.dateFormat, timeFormat = value.timeFormat;
}

json_object* MQTTPersistChildTable::GetJson() const {
  json_object* json = zvJsonAlloc();
  if (json == nullptr)
    starlingThrow("MQTTPersistChildTable::GetJson", 10006,
                  "Not able to build JSON with topic persistence field information. JSON allocation failed.");
  zvJsonAddString(json, "propertyPath", propertyPath.c_str());
  zvJsonAddString(json, "fieldName", tableName.c_str());
  zvJsonAddString(json, "fieldType", MQTTPersistField::GetFieldTypeName(valueType, width, binaryFlag));
  if (width > 0) zvJsonAddInt(json, "fieldWidth", width);
  if (scale >= 0) zvJsonAddInt(json, "fieldScale", scale);
  if (!HasNestedSchema()) return json;
  zvJsonPtr owner(json);
  std::vector<zvJsonPtr> items;
  for (const auto& [path, field] : fields) items.push_back(zvJsonPtr(field->GetJson()));
  for (const auto& [path, child] : children) items.push_back(zvJsonPtr(child->GetJson()));
  starlingAddJsonList(
      json, "mapOfPropertiesToFields", items, [](zvJsonPtr& item) { return item.release(); },
      "MQTTPersistChildTable::GetJson",
      "Not able to build JSON with child table persistence information. JSON array allocation failed.");
  return owner.release();
}

ZVRecord* MQTTPersistChildTable::record(ZVDatabasePooled* db) const {
  try {
    ZVRecord* cached = db->GetRecord(tableName.c_str(), false);
    if (cached != nullptr) return cached;
    bool opened = false;
    ZVTable* table = persistOpenTable(db, tableName.c_str(), &opened);
    if (opened) {
      if ((valueType == 75 || valueType == 83 || valueType == 124 || valueType == 257 || valueType == 258) &&
          format != MQTTFORMAT_ISO8601)
        table->GetField("value")->SetFieldDefaultDateTimeType(MQTTPersistField::GetFieldDateFormat(dateFormat),
                                                              MQTTPersistField::GetFieldTimeFormat(timeFormat));
    }
    return db->GetRecord(tableName.c_str(), true);
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersistChildTable::SetFieldValue", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

void MQTTPersistChildTable::SetFieldValue(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                                          const MQTTPersist* persist) const {
  if (HasNestedSchema())
    writeNestedRows(db, parentKey, context, error, persist);
  else
    writeSimpleRows(db, parentKey, context, error, persist);
}

namespace {

// The list of the child table's property, in a buffer of this call: nested
// rows extract their fields (into the thread's value buffer) while walking it.
std::vector<char> extractList(const MQTTPersistChildTable& child, int32_t type, bool binary, int64_t context,
                              char* error, const MQTTPersist* persist, int32_t* size, int32_t* count) {
  std::vector<char> buffer(256);
  const MQTTExtractor& ex = persist->Extractor();
  error[0] = '\0';
  int32_t rc = persistExtractInto(buffer, size, [&](void* data, int32_t room, int32_t* needed) {
    return ex.extractList(child.propertyPath.c_str(), type, binary, child.format, context, data, room, needed, count,
                          error);
  });
  if (rc != 0) {
    std::string why = error;
    starlingThrow("MQTTPersistChildTable::SetFieldValue", rc, "Not able to set value to child table [%s] - %.900s",
                  child.tableName.c_str(), why.c_str());
  }
  return buffer;
}

void linkRow(ZVRecord* record, int64_t parentKey, int32_t position) {
  record->Clear();
  record->SetNew(1);
  record->SetFieldAsBigint("foreignkey", parentKey);
  record->SetFieldAsSigned("position", position);
}

}  // namespace

void MQTTPersistChildTable::writeSimpleRows(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                                            const MQTTPersist* persist) const {
  bool binary = MQTTPersistField::IsBinaryContent(valueType, binaryFlag, width);
  int32_t size = 0, count = 0;
  std::vector<char> list = extractList(*this, valueType, binary, context, error, persist, &size, &count);
  ZVRecord* rec = record(db);
  std::string where = " in child table [" + tableName + "]";
  bool whole = persistWalkList(list.data(), size, count, [&](int32_t i, const char* value, int32_t length) {
    linkRow(rec, parentKey, i);
    persistSetEntry(rec, "value", valueType, binary, value, length, error, where.c_str());
    rec->Write();
  });
  if (!whole)
    starlingThrow("MQTTPersistChildTable::SetFieldValue", 10017,
                  "Not able to set value to child table [%s] - the list is longer than the bytes returned",
                  tableName.c_str());
}

void MQTTPersistChildTable::writeNestedRows(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                                            const MQTTPersist* persist) const {
  int32_t size = 0, count = 0;
  std::vector<char> list = extractList(*this, -1, false, context, error, persist, &size, &count);
  ZVRecord* rec = record(db);
  bool whole = persistWalkList(list.data(), size, count, [&](int32_t i, const char* value, int32_t length) {
    if (length != 8) return;  // not an element handle
    int64_t element;
    memcpy(&element, value, 8);
    linkRow(rec, parentKey, i);
    bool any = false;
    for (const auto& [path, field] : fields)
      if (!isNamed(field->fieldName, "ts")) any = setField(*field, rec, element, error, persist) || any;
    if (!any) return;
    rec->Write();
    if (children.empty()) return;
    bool ok = false;
    int64_t key = identityOf(rec, persist, &ok);
    if (ok) writeChildren(children, db, key, element, error, persist);
  });
  if (!whole)
    starlingThrow("MQTTPersistChildTable::SetFieldValue", 10017,
                  "Not able to set value to child table [%s] - the list is longer than the bytes returned",
                  tableName.c_str());
}
