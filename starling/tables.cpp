#include "tables.h"

namespace {

constexpr int kInteger = 51, kUInteger = 59, kVarchar = 146, kSmallint = 33, kUSmallint = 41, kTinyint = 16,
              kLvarbinary = 170, kBit = 8, kJson = 259, kTimestamp = 257, kChar = 144, kBigint = 231;

ZVFieldDescriptor field(const char* name, int type, int length, int binaryFlag = 0, bool identity = false,
                        bool autoTimestamp = false) {
  return ZVFieldDescriptor{name,  type, length, binaryFlag, uint8_t(identity ? 1 : 0), uint8_t(autoTimestamp ? 1 : 0),
                           {0, 0}};
}
ZVFieldDescriptor text(const char* name, int length = static_cast<int>(kStarlingMaxNameBytes)) {
  return field(name, kVarchar, length, 4);
}

#define SEGMENTS(name, ...) const ZVSegmentDescriptor name[] = {__VA_ARGS__};
#define SEG(f) \
  ZVSegmentDescriptor { f, 12, 0 }
#define INDEX(name, keyType, dups, segs) \
  ZVIndexDescriptor { name, keyType, dups, 0, 0, segs, int(sizeof segs / sizeof segs[0]), 0 }

const ZVFieldDescriptor kClientFields[] = {field("client_id", kInteger, 4, 0, true),
                                           text("client_id_last100", 100),
                                           field("client_id_size", kSmallint, 2),
                                           field("client_id_hash", kUInteger, 4),
                                           text("client_name"),
                                           text("username"),
                                           field("password_hash", kUInteger, 4),
                                           field("keep_alive_seconds", kUSmallint, 2),
                                           field("mqtt_status", kTinyint, 1),
                                           field("sparkplug_state", kTinyint, 1),
                                           text("will_topic"),
                                           field("will_payload", kLvarbinary, 0),
                                           field("will_qos", kTinyint, 1),
                                           field("will_retain", kTinyint, 1),
                                           field("will_delay_interval", kInteger, 4),
                                           field("will_payload_format_indicator", kBit, 1),
                                           field("will_message_expiry_interval", kInteger, 4),
                                           text("will_content_type"),
                                           text("will_response_topic"),
                                           text("will_correlation_data"),
                                           field("will_user_properties", kJson, 0),
                                           field("last_connect_ts", kTimestamp, 8),
                                           field("last_disconnect_ts", kTimestamp, 8)};
SEGMENTS(kClientSubsSegs, SEG("client_id"))
SEGMENTS(kClientPkSegs, SEG("client_id_last100"), SEG("client_id_size"), SEG("client_id_hash"))
const ZVIndexDescriptor kClientIndexes[] = {INDEX("mqtt_client_pk_subs", 0, 0, kClientSubsSegs),
                                            INDEX("mqtt_client_pk", 512, 0, kClientPkSegs)};

const ZVFieldDescriptor kConnTopicFields[] = {field("client_id", kInteger, 4), field("topic_id", kInteger, 4)};
SEGMENTS(kConnTopicClientSegs, SEG("client_id"))
SEGMENTS(kConnTopicBothSegs, SEG("client_id"), SEG("topic_id"))
const ZVIndexDescriptor kConnTopicIndexes[] = {INDEX("mqtt_client_topic_client_id", 0, 1, kConnTopicClientSegs),
                                               INDEX("mqtt_client_topic_client_topic_id", 0, 0, kConnTopicBothSegs)};

const ZVFieldDescriptor kConnTopicHistFields[] = {field("client_id", kInteger, 4),
                                                  field("ts", kTimestamp, 8, 0, false, true),
                                                  field("topic_id", kInteger, 4), field("action", kChar, 1)};
SEGMENTS(kCthClientSegs, SEG("client_id"), SEG("ts"))
SEGMENTS(kCthTopicSegs, SEG("topic_id"), SEG("client_id"), SEG("ts"))
const ZVIndexDescriptor kConnTopicHistIndexes[] = {INDEX("mqtt_conn_topic_history_client_id", 0, 1, kCthClientSegs),
                                                   INDEX("mqtt_conn_topic_history_topic_id", 0, 1, kCthTopicSegs)};

const ZVFieldDescriptor kConnHistFields[] = {field("client_id", kInteger, 4),
                                             field("ts", kTimestamp, 8, 0, false, true), field("action", kChar, 1)};
SEGMENTS(kConnHistSegs, SEG("client_id"), SEG("ts"))
const ZVIndexDescriptor kConnHistIndexes[] = {INDEX("mqtt_client_history", 0, 1, kConnHistSegs)};

const ZVFieldDescriptor kSubsFields[] = {field("client_id", kInteger, 4), text("topic_filter")};
SEGMENTS(kSubsSegs, SEG("client_id"))
const ZVIndexDescriptor kSubsIndexes[] = {INDEX("mqtt_subscription_client", 0, 1, kSubsSegs)};

const ZVFieldDescriptor kSubsHistFields[] = {field("client_id", kInteger, 4),
                                             field("ts", kTimestamp, 8, 0, false, true), text("topic_filter"),
                                             field("action", kChar, 1)};
SEGMENTS(kSubsHistSegs, SEG("client_id"), SEG("ts"))
const ZVIndexDescriptor kSubsHistIndexes[] = {INDEX("mqtt_subscription_history_client_id", 0, 1, kSubsHistSegs)};

const ZVFieldDescriptor kTopicFields[] = {field("topic_id", kInteger, 4, 0, true),
                                          text("topic_id_last100", 100),
                                          field("topic_id_size", kSmallint, 2),
                                          field("topic_id_hash", kUInteger, 4),
                                          text("topic_name"),
                                          text("msg_table_name", 64),
                                          field("created_type", kTinyint, 1),
                                          text("created_by"),
                                          field("created_ts", kTimestamp, 8),
                                          text("updated_by"),
                                          field("updated_ts", kTimestamp, 8),
                                          field("sent_msg_last_ts", kTimestamp, 8),
                                          field("sent_msg_count", kBigint, 8),
                                          field("retain_payload", kLvarbinary, 0),
                                          field("retain_qos", kTinyint, 1),
                                          field("retain_payload_format", kTinyint, 1),
                                          field("retain_expiry_seconds", kInteger, 4),
                                          text("retain_content_type"),
                                          text("retain_response_topic"),
                                          text("retain_correlation_data"),
                                          text("retain_user_properties")};
SEGMENTS(kTopicSubsSegs, SEG("topic_id"))
SEGMENTS(kTopicPkSegs, SEG("topic_id_last100"), SEG("topic_id_size"), SEG("topic_id_hash"))
const ZVIndexDescriptor kTopicIndexes[] = {INDEX("mqtt_topic_subs_pk", 0, 0, kTopicSubsSegs),
                                           INDEX("mqtt_topic_pk", 512, 0, kTopicPkSegs)};

#define LAYOUT(name, f, i) \
  StarlingTableLayout { name, f, int(sizeof f / sizeof f[0]), i, int(sizeof i / sizeof i[0]) }

}  // namespace

const StarlingTableLayout kMqttClientTable = LAYOUT("mqtt_client", kClientFields, kClientIndexes);
const StarlingTableLayout kMqttConnectionTopicTable =
    LAYOUT("mqtt_connection_topic", kConnTopicFields, kConnTopicIndexes);
const StarlingTableLayout kMqttConnectionTopicHistoryTable =
    LAYOUT("mqtt_connection_topic_history", kConnTopicHistFields, kConnTopicHistIndexes);
const StarlingTableLayout kMqttConnectionHistoryTable =
    LAYOUT("mqtt_connection_history", kConnHistFields, kConnHistIndexes);
const StarlingTableLayout kMqttSubscriptionTable = LAYOUT("mqtt_subscription", kSubsFields, kSubsIndexes);
const StarlingTableLayout kMqttSubscriptionHistoryTable =
    LAYOUT("mqtt_subscription_history", kSubsHistFields, kSubsHistIndexes);
const StarlingTableLayout kMqttTopicTable = LAYOUT("mqtt_topic", kTopicFields, kTopicIndexes);

void starlingCheckTable(ZVDatabasePooled* db, const StarlingTableLayout& layout, const char* function) {
  try {
    db->CheckTable(layout.name, layout.fields, layout.fieldCount, layout.indexes, layout.indexCount);
  } catch (const ZVException& e) {
    starlingThrow(function, e.GetErrorCode(), "Not able to check MQTT metadata table %s - %s", layout.name,
                  e.GetErrorMsg());
  }
}
