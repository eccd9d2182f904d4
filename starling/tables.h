// Layouts of the broker's metadata tables, shared by the registries that
// write them and the start-up check that creates them.
#pragma once

#include "starling.h"

struct StarlingTableLayout {
  const char* name;
  const ZVFieldDescriptor* fields;
  int fieldCount;
  const ZVIndexDescriptor* indexes;
  int indexCount;
};

extern const StarlingTableLayout kMqttClientTable;
extern const StarlingTableLayout kMqttConnectionTopicTable;
extern const StarlingTableLayout kMqttConnectionTopicHistoryTable;
extern const StarlingTableLayout kMqttConnectionHistoryTable;
extern const StarlingTableLayout kMqttSubscriptionTable;
extern const StarlingTableLayout kMqttSubscriptionHistoryTable;
extern const StarlingTableLayout kMqttTopicTable;

// CheckTable with the layout; a client failure throws kind 1 under function
// with "Not able to check MQTT metadata table %s - %s".
void starlingCheckTable(ZVDatabasePooled* db, const StarlingTableLayout& layout, const char* function);
