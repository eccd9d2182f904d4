// Message schemas of store-and-forward topics: a schema text in the structure
// syntax parsed as a topic's "messageSchema" is, then a binary payload decoded
// with it as each delivery does, with and without the consistency check.
#include <string>

#include "fuzz_input.h"
#include "schema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const bool check = (in.byte() & 1) != 0;
  const fuzz::exact type_name = fuzz::c_text(in.text());
  const fuzz::exact body = fuzz::c_text(in.text());
  const fuzz::exact payload(in.rest());
  MQTTSchemaTable table(100);
  MQTTSchema *schema = nullptr;
  try {
    schema = MQTTSchema::Create(MQTT_MSG_SCHEMA_SYNTAX_UDT, type_name.data(), body.data(), &table, check);
  } catch (const YXException &) {
    return 0;
  }
  if (schema == nullptr) return 0;
  try {
    json_object *json = schema->BuildJson(payload.data(), int(payload.size()));
    FUZZ_CHECK(json != nullptr);
    zvJsonRelease(json);
  } catch (const YXException &) {
  }
  try {
    zvJsonRelease(schema->GetJson());
  } catch (const YXException &) {
  }
  return 0;
}
