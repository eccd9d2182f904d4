// Message schemas: user-defined types written in the structure syntax
// ("UDT": TYPE / STRUCT / END_STRUCT / END_TYPE blocks) that describe a
// binary payload as a controller lays the structure out in memory
// (big-endian numbers, elements at even offsets, bits eight to a byte,
// strings with a two-byte header), and the decoding of such payloads into
// JSON objects whose members carry the element names.
//
// No sockets, no logging: text in, schema out; bytes in, JSON out.
//
// Errors are YXException kind 1: 9007 a fault in the schema text (as
// "Error in messageSchemaBody in line <n> - <what>"), 8006 an unknown
// keyword, syntax or an element that cannot be decoded, 8001 memory, 10001
// an unknown syntax name, 10006 GetJson. Message errors: 11001 a message
// shorter than the schema (also one that ends inside an element: decoding
// never reads past the payload), 11002 longer, 11003/11004/11005/11007
// string headers and padding. Without the check-consistency flag BuildJson
// throws the first message error; with it the errors go to "errorList" and
// the object decoded so far is returned.
//
// Bounds: a schema measures at most kMaxSchemaSize bytes, nests structures
// and array dimensions at most kMaxNesting deep, and one decoding makes at
// most 8 values per payload byte plus kValueAllowance (an array of empty
// structures cannot make values without end).
//
// Threading: a schema does not change after Parse; BuildJson keeps its state
// on the stack, so one schema may decode on several threads at once. The
// schema table (YXHashTable, owning its schemas) has its own mutex.
#ifndef STARLING_SCHEMA_H
#define STARLING_SCHEMA_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "yxutil.h"

enum MQTT_MSG_SCHEMA_SYNTAX : int { MQTT_MSG_SCHEMA_SYNTAX_UDT = 0 };

enum MQTT_SCHEMA_TYPE : int {
  MQTT_SCHEMA_BOOL = 1,
  MQTT_SCHEMA_BYTE = 2,
  MQTT_SCHEMA_WORD = 3,
  MQTT_SCHEMA_DWORD = 4,
  MQTT_SCHEMA_INT = 5,
  MQTT_SCHEMA_DINT = 6,
  MQTT_SCHEMA_REAL = 7,
  MQTT_SCHEMA_S5TIME = 8,
  MQTT_SCHEMA_TIME = 9,
  MQTT_SCHEMA_DATE = 10,
  MQTT_SCHEMA_TIME_OF_DAY = 11,
  MQTT_SCHEMA_CHAR = 12,
  MQTT_SCHEMA_DATE_AND_TIME = 13,
  MQTT_SCHEMA_DT = 14,
  MQTT_SCHEMA_STRING = 15,
  MQTT_SCHEMA_ARRAY = 16,
  MQTT_SCHEMA_STRUCT = 17,
};

constexpr int MQTT_SCHEMA_ERR_ALLOC = 8001;
constexpr int MQTT_SCHEMA_ERR_UNSUPPORTED = 8006;
constexpr int MQTT_SCHEMA_ERR_TEXT = 9007;
constexpr int MQTT_SCHEMA_ERR_SYNTAX = 10001;
constexpr int MQTT_SCHEMA_ERR_JSON = 10006;
constexpr int MQTT_SCHEMA_MSG_SHORT = 11001;
constexpr int MQTT_SCHEMA_MSG_LONG = 11002;
constexpr int MQTT_SCHEMA_STRING_TOO_LONG = 11003;
constexpr int MQTT_SCHEMA_STRING_255 = 11004;
constexpr int MQTT_SCHEMA_STRING_PADDING = 11005;
constexpr int MQTT_SCHEMA_STRING_MAX = 11007;

class MQTTSchema;
class MQTTSchemaStruct;
struct MQTTSchemaDecoder;  // one decoding's cursor, counts and error list
typedef YXHashTable<MQTTSchema> MQTTSchemaTable;

class MQTTSchemaElement {
 public:
  MQTTSchemaElement(MQTTSchema* schema, const std::string& name, int type, int size, MQTTSchemaStruct* referenced);
  virtual ~MQTTSchemaElement();
  MQTTSchemaElement(const MQTTSchemaElement&) = delete;
  MQTTSchemaElement& operator=(const MQTTSchemaElement&) = delete;
  // True for an inline structure, and for an array of one: the lines that
  // follow fill it.
  virtual bool IsStruct() { return false; }
  // Adds this element's member to parent.
  virtual void BuildJson(MQTTSchemaDecoder& decoder, json_object* parent) = 0;
  const char* GetName() const { return name.c_str(); }
  MQTTSchema* GetSchema() const { return schema; }
  int GetType() const { return type; }

 protected:
  MQTTSchema* schema;
  std::string name;
  int type;
  int32_t size;                  // declared length of a STRING[n], else 0
  MQTTSchemaStruct* referenced;  // root structure of a named type, else null
};

// An element of an elementary type or of a named type.
class MQTTSchemaElementUDT : public MQTTSchemaElement {
 public:
  using MQTTSchemaElement::MQTTSchemaElement;
  void BuildJson(MQTTSchemaDecoder& decoder, json_object* parent) override;
};

class MQTTSchemaStruct : public MQTTSchemaElement {
 public:
  MQTTSchemaStruct(MQTTSchema* schema, const std::string& name);
  bool IsStruct() override { return true; }
  void BuildJson(MQTTSchemaDecoder& decoder, json_object* parent) override;
  // Parses one element line and appends it; returns it.
  MQTTSchemaElement* AddElement(const char* line, MQTTSchemaTable* table);
  void AddElement(MQTTSchemaElement* element);  // takes it
  // Decodes the elements, in order, into target.
  void DecodeInto(MQTTSchemaDecoder& decoder, json_object* target);

 private:
  std::vector<std::unique_ptr<MQTTSchemaElement>> elements;
};

class MQTTSchemaArrayDimRange {
 public:
  MQTTSchemaArrayDimRange(int32_t first = 0, int32_t last = 0) : init(first), term(last) {}
  virtual ~MQTTSchemaArrayDimRange() = default;
  int32_t GetInit() const { return init; }
  int32_t GetTerm() const { return term; }
  void SetInit(int32_t value) { init = value; }
  void SetTerm(int32_t value) { term = value; }
  int64_t Count() const { return term < init ? 0 : static_cast<int64_t>(term) - init + 1; }

 protected:
  int32_t init, term;  // both inclusive
};

class MQTTSchemaArrayDimRangeUDT : public MQTTSchemaArrayDimRange {
 public:
  // From "<init>..<term>"; 9007 when it is not that.
  explicit MQTTSchemaArrayDimRangeUDT(const std::string& text);
};

class MQTTSchemaArray : public MQTTSchemaElement {
 public:
  MQTTSchemaArray(MQTTSchema* schema, const std::string& name);
  bool IsStruct() override { return inlineStruct; }
  // Reads the dimensions and element type from the text after "ARRAY[".
  virtual void Parse(const char* text, const char* end, MQTTSchemaTable* table) = 0;
  const std::vector<MQTTSchemaArrayDimRange>& GetDimensions() const { return dimensions; }
  int GetArrayType() const { return elementType; }
  int32_t GetArrayTypeSize() const { return elementSize; }
  MQTTSchemaStruct* GetTypeStruct() const { return elementStruct; }

 protected:
  int elementType = 0;
  int32_t elementSize = 0;     // a STRING[n] element type: n rounded up to even
  int32_t declaredLength = 0;  // a STRING[n] element type: n
  MQTTSchemaStruct* elementStruct = nullptr;
  std::unique_ptr<MQTTSchemaStruct> ownedStruct;  // the inline case
  std::vector<MQTTSchemaArrayDimRange> dimensions;
  bool inlineStruct = false;
};

class MQTTSchemaArrayUDT : public MQTTSchemaArray {
 public:
  using MQTTSchemaArray::MQTTSchemaArray;
  void Parse(const char* text, const char* end, MQTTSchemaTable* table) override;
  void BuildJson(MQTTSchemaDecoder& decoder, json_object* parent) override;

 private:
  json_object* buildLevel(MQTTSchemaDecoder& decoder, size_t dimension);
};

class MQTTSchema {
 public:
  static constexpr int kMeasureBufferSize = 10240;
  static constexpr int kMaxSchemaSize = 65536;
  static constexpr int kMaxNesting = 64;
  static constexpr int64_t kValueAllowance = 4096;

  MQTTSchema(const char* schemaText, bool checkConsistency);
  virtual ~MQTTSchema();
  MQTTSchema(const MQTTSchema&) = delete;  // nothing copies schemas
  MQTTSchema& operator=(const MQTTSchema&) = delete;

  virtual const char* GetType() { return ""; }
  virtual MQTTSchemaElement* ParseElement(const char* line, MQTTSchemaTable* table) = 0;
  virtual int GetSyntax() { return -1; }
  virtual void CalculateSize() { size = 0; }

  // Syntax 0: MQTTSchemaUDT::Parse; the schema stays owned by table.
  static MQTTSchema* Create(int syntax, const char* typeName, const char* schemaText, MQTTSchemaTable* table,
                            bool checkConsistency);
  // An element type keyword, without regard to case; 8006 otherwise.
  static int GetType(const char* keyword);
  static int GetMsgSchemaSyntax(const char* text);       // "UDT" only; 10001
  static const char* GetMsgSchemaSyntaxStr(int syntax);  // 0 only; 8006
  static void AddError(json_object* errors, int code, const char* message);

  // A new object the caller releases (see the errors above).
  json_object* BuildJson(const void* payload, int length);
  // {"messageSchemaSyntax", "messageSchemaType", "messageSchemaBody"}.
  json_object* GetJson();

  MQTTSchemaStruct* GetStruct() const { return root.get(); }
  void SetStruct(MQTTSchemaStruct* structure) { root.reset(structure); }
  bool GetCheckConsistency() const { return checkConsistency; }
  void SetCheckConsistency(bool check) { checkConsistency = check; }
  int32_t GetSize() const { return size; }

 protected:
  std::unique_ptr<MQTTSchemaStruct> root;
  std::string text;
  bool checkConsistency;
  int32_t size = 0;
};

class MQTTSchemaUDT : public MQTTSchema {
 public:
  MQTTSchemaUDT(const char* typeName, const char* schemaText, bool checkConsistency);
  const char* GetType() override { return typeName.c_str(); }
  MQTTSchemaElement* ParseElement(const char* line, MQTTSchemaTable* table) override;
  int GetSyntax() override { return MQTT_MSG_SCHEMA_SYNTAX_UDT; }
  void CalculateSize() override;

  // Adds every type of schemaText to table and returns the one named
  // typeName, with its size measured. Types completed before an error stay.
  static MQTTSchema* Parse(const char* typeName, const char* schemaText, MQTTSchemaTable* table, bool checkConsistency);
  static MQTTSchema* LoadSchema(const char* typeName, const char* schemaText, MQTTSchemaTable* table,
                                bool checkConsistency) {
    return Parse(typeName, schemaText, table, checkConsistency);
  }
  // Reads a type at cursor (a keyword, STRING[n] or a 'named' type); for
  // ARRAY the cursor is left behind its "[".
  static void ParseType(const char** cursor, const char* end, MQTTSchemaTable* table, int* type, int32_t* size,
                        MQTTSchemaStruct** structure);

  const char* GetTitle() const { return title.c_str(); }
  const char* GetVersion() const { return version.c_str(); }
  void SetType(const char* value) { typeName = value ? value : ""; }
  void SetTitle(const char* value) { title = value ? value : ""; }
  void SetVersion(const char* value) { version = value ? value : ""; }

 private:
  std::string typeName, title, version;
};

#endif  // STARLING_SCHEMA_H
