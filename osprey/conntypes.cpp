// The connection-type registry handed to every application.
#include "internal.h"

CONNTYPE::CONNTYPE(const char* type, const char* proto, const char* portText, const char* server,
                   const char* database) {
  dupStrAll(
      {{&connectionType, type}, {&protocol, proto}, {&port, portText}, {&serverName, server}, {&defaultDB, database}});
}

namespace osprey {

namespace {
std::atomic<ConnTypeTable*> gConnTypes{nullptr};
}

ConnTypeTable* connTypes() { return gConnTypes.load(); }

void connTypesCreate() {
  ConnTypeTable* table = new YXHashTable<CONNTYPE>(100);
  delete gConnTypes.exchange(table);
}

void connTypesDelete() { delete gConnTypes.exchange(nullptr); }

void registerConnType(const char* type, const char* protocol, const char* port, const char* serverName,
                      const char* defaultDB) {
  ConnTypeTable* table = gConnTypes.load();
  if (table == nullptr) return;
  CONNTYPE* row = nullptr;
  try {
    row = new CONNTYPE(type, protocol, port, serverName, defaultDB);
    if (table->Add(row->connectionType, row)) row = nullptr;  // else the earlier row stays
  } catch (const YXException& e) {
    logf(e.GetErrorCode(), "osprey - Not able to register connection type %s - %s", type, e.GetErrorMsg());
  }
  delete row;
}

}  // namespace osprey
