// The topic table of a persisted topic: creation or check at start,
// extension on alteration, retention by partitions and their purge, and the
// forced closing of its file on delete.
#include <strings.h>

#include <cstring>
#include <memory>

#include "persist.h"

namespace {

struct Unit {
  const char* name;
  const char* rule;
};
const Unit kUnits[] = {
    {"none", nullptr},
    {"minute", "(YEAR(ts)-2018)*366*24*60 + DAYOFYEAR(ts)*24*60 + HOUR(ts)*60 + MINUTE(ts) "},
    {"hour", "(YEAR(ts)-2018)*366*24 + DAYOFYEAR(ts)*24 + HOUR(ts)"},
    {"day", "(YEAR(ts)-2018)*366 + DAYOFYEAR(ts)"},
    {"month", "(YEAR(ts)-2018)*12 + MONTH(ts)"},
    {"year", "(YEAR(ts)-2018)+1"},
};
const char* const kUnitMessage = "Partition purge unit not supported. Please check auto-purge (tableRetentionUnit).";

// A table object this code opened or made: closed and deleted on every path.
struct OwnedTable {
  ZVTable* table = nullptr;
  bool owned = false;
  ~OwnedTable() {
    if (owned) delete table;
  }
};

// The open table of the connection, or a newly opened one (mode 0).
void useTable(ZVDatabasePooled* db, const char* name, OwnedTable& out) {
  out.table = db->FindActive(name);
  if (out.table != nullptr) return;
  out.table = new ZVTable(db);
  out.owned = true;
  out.table->Open(name, 0);
}

void check(int rc, const char* function, const char* format, const char* a, const char* b = "") {
  if (rc != 0) starlingThrow(function, rc, format, a, b);
}

// Adds the time-stamp index of a partitioned or indexed table.
void addTimeStampIndex(ZVTable* table, const std::string& tableName, ZVField* ts) {
  std::string index = tableName + "_ts_index";
  table->AddIndex(index.c_str(), 0, 1, 0)->AddSegment(ts, 12);
}

// Partition settings for a table being created.
int partitionTable(ZVTable* table, const std::string& name, int32_t unit, int32_t period, const char* fn) {
  const char* rule = MQTTPersist::GetPartRule(unit);
  if (rlSetPartitionIndex(table->GetHandle(), 0) != 0 || rlSetPartitionRule(table->GetHandle(), rule) != 0)
    starlingThrow(fn, 10005, "Not able to create partition rule [%s] for table [%s].", rule, name.c_str());
  rlSetPartitionBits(table->GetHandle(), 31);
  int rc = rlSetPartitionMaxActive(table->GetHandle(), period + 1);
  if (rc != 0)
    starlingThrow(fn, rc, "Not able to set auto purge for table [%s]. Maximum active partition number [%d]",
                  name.c_str(), period);
  return RL_CREATE_PARTITIONED;
}

// The retention check of an existing table.
void checkRetention(ZVTable* table, int32_t unit, const char* fn) {
  const char* name = table->GetName();
  const char* rule = table->IsPartitioned() ? table->GetPartitionRule() : nullptr;
  bool hasRule = rule != nullptr && rule[0] != '\0';
  if (unit != MQTTPURGEUNIT_NONE) {
    if (!hasRule)
      starlingThrow(fn, 10005,
                    "Table [%s] already exists, but it is NOT set for auto-purge. Please fix the persistence command "
                    "disabling auto-purge (tableRetentionUnit) or recreate the table.",
                    name);
    if (strcmp(rule, MQTTPersist::GetPartRule(unit)) != 0)
      starlingThrow(
          fn, 10005,
          "Table [%s] already exists, but auto-purge rule doesn't match. Please fix the persistence command auto-purge "
          "(tableRetentionUnit) or recreate the table. It was createad for [%s] and now trying to enable for [%s]",
          name, MQTTPersist::GetPurgeUnitNameByRule(rule), MQTTPersist::GetPurgeUnitName(unit));
  } else if (hasRule || table->IsPartitioned()) {
    starlingThrow(fn, 10005,
                  "Table [%s] already exists, but it is set for auto-purge. Please fix the persistence command "
                  "enabling auto-purge (tableRetentionUnit) or recreate the table.",
                  name);
  }
}

// Adds the columns of a field (each numbered column of a multi-value field).
void addFieldColumns(ZVTable* table, const MQTTPersistField& field, const char* fn) {
  for (const std::string& column : field.ColumnNames()) {
    ZVField* f = table->AddField(column.c_str(), field.type, field.width);
    if (field.scale >= 0) f->SetScale(field.scale);
    if (field.binaryFlag != 0)
      check(rlSetFieldBinaryFlag(f->GetHandle(), field.binaryFlag), fn, "Not able to set field %s's binary flag.",
            column.c_str());
  }
}

void addIdentity(ZVTable* table, const char* fn) {
  table->AddField("primarykey", 231, 0);
  check(rlSetIdentityField(table->GetHandle(), "primarykey", 1, 1), fn,
        "Not able to set field %s as an identity field.", "primarykey");
}

void turnOnReplication(ZVDatabasePooled* db, const char* name, const char* fn) {
  auto table = std::make_unique<ZVTable>(db);
  table->Open(name, 1);
  int rc = rlSetTableReplication(table->GetDatno(), 1, 24);
  table->Close();
  if (rc != 0) starlingThrow(fn, rc, "Not able to turn ON replication for table [%s].", name);
}

}  // namespace

// ---- retention helpers ----

int32_t MQTTPersist::GetPurgeUnit(const char* name) {
  for (int i = 0; name != nullptr && i < 6; i++)
    if (strcasecmp(name, kUnits[i].name) == 0) return i;
  starlingThrow("MQTTPersist::GetPurgeUnit", 10001, "%s", kUnitMessage);
}

const char* MQTTPersist::GetPurgeUnitName(int32_t unit) {
  if (unit < 0 || unit > 5) starlingThrow("MQTTPersist::GetPurgeUnitName", 10001, "%s", kUnitMessage);
  return kUnits[unit].name;
}

const char* MQTTPersist::GetPartRule(int32_t unit) {
  if (unit < 1 || unit > 5) starlingThrow("MQTTPersist::GetPartRule", 10001, "%s", kUnitMessage);
  return kUnits[unit].rule;
}

const char* MQTTPersist::GetPurgeUnitNameByRule(const char* rule) {
  for (int i = 1; rule != nullptr && i < 6; i++)
    if (strcasecmp(rule, kUnits[i].rule) == 0) return kUnits[i].name;
  starlingThrow("MQTTPersist::GetPurgeUnitNameByRule", 10001,
                "Invalid partition rule for auto-purge. Please check auto-purge (tableRetentionUnit).");
}

void MQTTPersist::ValidatePurgePeriod(int32_t unit, int32_t period) {
  if (unit != MQTTPURGEUNIT_NONE && (period <= 0 || period > 180))
    starlingThrow("MQTTPersist::ValidatePurgePeriod", 10015, "Partition purge period is out of limits");
}

int64_t MQTTPersist::MinPartitionAt(int32_t unit, int32_t period, const ZVDateTime& now) {
  const char* fn = "MQTTPersist::_getCurrPartNo";
  ZVDateTime at = now;
  int year = now.GetYear(), month = now.GetMonth(), day = now.GetDay();
  int hour = now.GetHour(), minute = now.GetMinute();
  auto back = [&](int64_t seconds) {
    int64_t total = static_cast<int64_t>(now.GetDate()) * 86400 + now.GetSeconds() - seconds;
    int64_t days = total >= 0 ? total / 86400 : (total - 86399) / 86400;
    at.SetDateTime(static_cast<int32_t>(days), static_cast<int32_t>(total - days * 86400));
  };
  try {
    switch (unit) {
      case MQTTPURGEUNIT_MINUTE:
        back(static_cast<int64_t>(period) * 60);
        break;
      case MQTTPURGEUNIT_HOUR:
        back(static_cast<int64_t>(period) * 3600);
        break;
      case MQTTPURGEUNIT_DAY:
        back(static_cast<int64_t>(period) * 86400);
        break;
      case MQTTPURGEUNIT_MONTH: {
        int y = year - period / 12, m = month - period % 12;
        if (m <= 0) m += 12, y -= 1;
        // A day the month does not have falls back to its last day.
        while (day > 28 && rlPackDate(y, m, day) < 0) day--;
        at.Pack(y, m, day, hour, minute, 0);
        break;
      }
      case MQTTPURGEUNIT_YEAR: {
        int y = year - period;
        while (day > 28 && rlPackDate(y, month, day) < 0) day--;
        at.Pack(y, month, day, hour, minute, 0);
        break;
      }
      default:
        starlingThrow(fn, 10001, "%s", kUnitMessage);
    }
  } catch (const ZVException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
  int64_t y = at.GetYear() - 2018, doy = at.GetDayOfYear();
  int64_t n = 0;
  switch (unit) {
    case MQTTPURGEUNIT_MINUTE:
      n = ((y * 8784 + doy * 24 + at.GetHour()) * 60) + at.GetMinute();
      break;
    case MQTTPURGEUNIT_HOUR:
      n = y * 8784 + doy * 24 + at.GetHour();
      break;
    case MQTTPURGEUNIT_DAY:
      n = y * 366 + doy;
      break;
    case MQTTPURGEUNIT_MONTH:
      n = y * 12 + at.GetMonth();
      break;
    default:
      n = y + 1;
      break;
  }
  return n > 0 ? n : 0;
}

void MQTTPersist::UpdateLowerPartNumber(ZVTable* table, int64_t partition) {
  if (partition <= 0) return;
  try {
    table->PartAdminByNumber(partition, RL_PART_SET_LOWEST);
  } catch (const ZVException& e) {
    if (e.GetErrorCode() == RL_PARTITION_NOTHING_TO_DO) return;
    starlingThrow("MQTTPersist::_updateLowerPartNumber", e.GetErrorCode(),
                  "Not able to update base partition number [%lld] - %s", static_cast<long long>(partition),
                  e.GetErrorMsg());
  }
}

void MQTTPersist::Purge() {
  if (purgeUnit_ == MQTTPURGEUNIT_NONE) return;
  ZVRecord* record = nullptr;
  ZVDatabaseLease db = AcquireConn(&record);
  try {
    int64_t lowest = MinPartitionAt(purgeUnit_, purgePeriod_, clock());
    ZVTable* table = db->FindActive(tableName_.c_str());
    // Setting the lowest partition kept purges every partition below it:
    // those are wholly older than the retention. Once the lowest partition
    // holding rows does not move, there is nothing more to do.
    if (lowest > 0 && table != nullptr) {
      int64_t before = rlGetFileInfo(table->GetDatno(), RL_INFO_LOWEST_PARTITION);
      if (before >= 0 && before < lowest) UpdateLowerPartNumber(table, lowest);
    }
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersistMsg::Purge", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

// ---- database ----

void MQTTPersist::_createDatabase() {
  const char* fn = "MQTTPersist::_createDatabase";
  try {
    ZVDatabaseConfig config(connection_.c_str(), user_.c_str(), password_.c_str(), database_.c_str());
    ZVDatabasePooled::CheckDatabase(&config);
  } catch (const ZVException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

ZVDatabaseLease MQTTPersist::_acquireCreating() {
  try {
    return ZVDatabaseLease(pool_, poolConfig_, acquireTimeout_);
  } catch (const YXException& e) {
    if (e.GetErrorCode() != RL_NOT_FOUND) throw;
  }
  _createDatabase();
  return ZVDatabaseLease(pool_, poolConfig_, acquireTimeout_);
}

// ---- topic table ----

void MQTTPersist::_createTable() {
  const char* fn = "MQTTPersist::_createTable";
  ZVDatabaseLease db = _acquireCreating();
  try {
    if (db->FindTable(tableName_.c_str()))
      _checkExistingTable(db.get());
    else
      _createNewTable(db.get());
  } catch (const ZVException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

void MQTTPersist::_checkExistingTable(ZVDatabasePooled* db) {
  const char* fn = "MQTTPersist::_createTable";
  OwnedTable t;
  useTable(db, tableName_.c_str(), t);
  char error[1024];
  for (const auto& [path, field] : fields_)
    for (const std::string& column : field->ColumnNames()) field->ValidateExistingField(column.c_str(), t.table, error);
  checkRetention(t.table, purgeUnit_, fn);
  // Child tables are checked (or created) as at creation.
  int64_t lowest =
      autoTimeStamp_ && purgeUnit_ != MQTTPURGEUNIT_NONE ? MinPartitionAt(purgeUnit_, purgePeriod_, clock()) : 0;
  for (const auto& [path, child] : children_) child->Create(db, this, lowest);
}

void MQTTPersist::_createNewTable(ZVDatabasePooled* db) {
  const char* fn = "MQTTPersist::_createTable";
  bool partitioned = autoTimeStamp_ && purgeUnit_ != MQTTPURGEUNIT_NONE;
  int64_t lowest = partitioned ? MinPartitionAt(purgeUnit_, purgePeriod_, clock()) : 0;
  // Child tables first: a failure there leaves no topic table behind.
  for (const auto& [path, child] : children_) child->Create(db, this, lowest);
  int mode = 0x12000 + (replication_ ? 2 : 1);
  auto table = std::make_unique<ZVTable>(db);
  for (const auto& [path, field] : fields_) {
    addFieldColumns(table.get(), *field, fn);
    if (strcasecmp(field->fieldName.c_str(), "ts") == 0 && autoTimeStamp_) {
      ZVField* ts = table->GetField("ts");
      if (partitioned || timeStampIndex_) addTimeStampIndex(table.get(), tableName_, ts);
      check(rlSetFieldAutoTimestamp(ts->GetHandle(), 1, 0), fn, "Not able to set field %s as auto timestamp.", "ts");
    }
  }
  if (!children_.empty()) addIdentity(table.get(), fn);
  if (partitioned) mode += partitionTable(table.get(), tableName_, purgeUnit_, purgePeriod_, fn);
  table->Create(tableName_.c_str(), mode);
  if (replication_) turnOnReplication(db, tableName_.c_str(), fn);
  table->Open(tableName_.c_str(), 0);
  if (partitioned) UpdateLowerPartNumber(table.get(), lowest);
  table->Close();
}

void MQTTPersist::_alterTable() {
  const char* fn = "MQTTPersist::_alterTable";
  // No pooled connection may keep the table open while its definition changes.
  pool_->Clean(poolConfig_);
  ZVDatabaseLease db = _acquireCreating();
  try {
    auto table = std::make_unique<ZVTable>(db.get());
    table->Open(tableName_.c_str(), 1);
    bool partitioned = autoTimeStamp_ && purgeUnit_ != MQTTPURGEUNIT_NONE;
    bool holdsRows = table->GetRecordCount() > 0;
    for (const auto& [path, field] : fields_) {
      for (const std::string& column : field->ColumnNames()) {
        ZVField* f = nullptr;
        try {
          f = table->GetField(column.c_str());
        } catch (const ZVException&) {
        }
        if (f == nullptr) {
          MQTTPersistField one = *field;
          one.count = 1;
          one.fieldName = column;
          addFieldColumns(table.get(), one, fn);
          f = table->GetField(column.c_str());
          if (strcasecmp(column.c_str(), "ts") == 0 && autoTimeStamp_)
            check(rlSetFieldAutoTimestamp(f->GetHandle(), 1, 0), fn, "Not able to set field %s as auto timestamp.",
                  "ts");
        } else {
          // Values already stored stay what they were: a change that would
          // cut or reread them is refused while the table holds rows.
          const char* lossy = field->LossyChange(f->GetType(), f->GetLength(), f->GetScale());
          if (lossy != nullptr && holdsRows)
            starlingThrow(fn, 10018,
                          "Not able to alter persistence topic %s - the field [%s] holds rows and %s. Create a new "
                          "field (or topic) instead",
                          GetTopic(), column.c_str(), lossy);
          try {
            if (!MQTTPersistField::AcceptsColumnType(field->type, f->GetType())) f->SetType(field->type, field->width);
            // A text or binary column takes the width asked (a longer one
            // keeps every value; a shorter one was refused above when it
            // holds rows).
            if ((field->IsLengthChecked() || MQTTPersistField::HasWidth(field->type)) && field->width > 0 &&
                f->GetLength() != field->width)
              f->SetLength(field->width);
            if (field->type == 105 && field->scale >= 0 && f->GetScale() != field->scale) f->SetScale(field->scale);
          } catch (const ZVException& e) {
            starlingThrow(fn, e.GetErrorCode(), "Not able to update field %s schema - %s", column.c_str(),
                          e.GetErrorMsg());
          }
        }
        if (strcasecmp(column.c_str(), "ts") == 0 && autoTimeStamp_ && (partitioned || timeStampIndex_)) {
          bool hasIndex = true;
          try {
            table->GetIndex((tableName_ + "_ts_index").c_str());
          } catch (const ZVException&) {
            hasIndex = false;
          }
          if (!hasIndex) addTimeStampIndex(table.get(), tableName_, f);
        }
      }
    }
    table->Alter(0);
    if (partitioned) UpdateLowerPartNumber(table.get(), MinPartitionAt(purgeUnit_, purgePeriod_, clock()));
    table->Close();
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::Alter", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

void MQTTPersist::_closeTable() {
  ZVDatabaseLease db(pool_, poolConfig_, acquireTimeout_);
  try {
    OwnedTable t;
    useTable(db.get(), tableName_.c_str(), t);
    std::string path = std::string(t.table->GetPath()) + '\\' + tableName_ + t.table->GetDataExtension();
    int rc = rlBlockFile(path.c_str(), RL_BLOCK_FILE);
    if (rc != 0) throw ZVException(rc, "Not able to block the file");
    rc = rlBlockFile(path.c_str(), RL_UNBLOCK_FILE);
    if (rc != 0) throw ZVException(rc, "Not able to unblock the file");
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::Delete", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

// ---- child tables ----

void MQTTPersistChildTable::Create(ZVDatabasePooled* db, const MQTTPersist* persist, int64_t lowestPartition) {
  const char* fn = "MQTTPersistChildTable::Create";
  int32_t unit = persist->GetPurgeUnit();
  try {
    if (db->FindTable(tableName.c_str())) {
      OwnedTable t;
      useTable(db, tableName.c_str(), t);
      validateExisting(t.table, persist);
      for (const auto& [path, child] : children) child->Create(db, persist, lowestPartition);
      return;
    }
    auto table = std::make_unique<ZVTable>(db);
    if (HasNestedSchema()) {
      for (const auto& [path, field] : fields) addFieldColumns(table.get(), *field, fn);
      if (!children.empty()) {
        addIdentity(table.get(), fn);
        for (const auto& [path, child] : children) child->Create(db, persist, lowestPartition);
      }
    } else {
      ZVField* f = table->AddField("value", valueType, width);
      if (scale >= 0) f->SetScale(scale);
      if (binaryFlag != 0)
        check(rlSetFieldBinaryFlag(f->GetHandle(), binaryFlag), fn, "Not able to set field %s's binary flag.", "value");
    }
    table->AddField("foreignkey", 231, 0);
    table->AddField("position", 51, 0);
    int mode = 0x12000 + (persist->HasReplicate() ? 2 : 1);
    if (unit != MQTTPURGEUNIT_NONE) {
      ZVField* ts = table->AddField("ts", 257, 8);
      addTimeStampIndex(table.get(), tableName, ts);
      check(rlSetFieldAutoTimestamp(ts->GetHandle(), 1, 0), fn, "Not able to set field %s as auto timestamp.", "ts");
      mode += partitionTable(table.get(), tableName, unit, persist->GetPurgePeriod(), fn);
    }
    table->Create(tableName.c_str(), mode);
    if (persist->HasReplicate()) turnOnReplication(db, tableName.c_str(), fn);
    table->Open(tableName.c_str(), 0);
    if (unit != MQTTPURGEUNIT_NONE) MQTTPersist::UpdateLowerPartNumber(table.get(), lowestPartition);
    table->Close();
  } catch (const ZVException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

void MQTTPersistChildTable::validateExisting(ZVTable* table, const MQTTPersist* persist) const {
  const char* fn = "MQTTPersistChildTable::Create";
  const char* name = table->GetName();
  auto column = [&](const char* columnName) -> ZVField* {
    try {
      return table->GetField(columnName);
    } catch (const ZVException&) {
      starlingThrow(fn, 10005, "Table [%s] already exists, but schema doesn't match. Missing field [%s].", name,
                    columnName);
    }
  };
  auto compare = [&](ZVField* f, const char* columnName, int32_t type, int32_t width, int32_t scale, bool checkWidth) {
    if (f->GetType() != type)
      starlingThrow(fn, 10005,
                    "Table [%s] already exists, but schema doesn't match. Field [%s] is of type [%d], but it was "
                    "expected to be [%d].",
                    name, columnName, type, f->GetType());
    if (checkWidth && width > 0 && f->GetLength() != width)
      starlingThrow(fn, 10005,
                    "Table [%s] already exists, but schema doesn't match. Field [%s] is lenght of [%d], but it was "
                    "expected to be [%d].",
                    name, columnName, width, f->GetLength());
    if (scale > 0 && f->GetScale() != scale)
      starlingThrow(fn, 10005,
                    "Table [%s] already exists, but schema doesn't match. Field [%s] is scale of [%d], but it was "
                    "expected to be [%d].",
                    name, columnName, scale, f->GetScale());
  };
  if (HasNestedSchema()) {
    for (const auto& [path, field] : fields)
      for (const std::string& c : field->ColumnNames())
        compare(column(c.c_str()), c.c_str(), field->type, field->width, field->type == 105 ? field->scale : 0,
                field->IsLengthChecked());
    column("foreignkey");
    column("position");
  } else {
    column("foreignkey");
    column("position");
    compare(column("value"), "value", valueType, width, scale, true);
  }
  checkRetention(table, persist->GetPurgeUnit(), fn);
}
