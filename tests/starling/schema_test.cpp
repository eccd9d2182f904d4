// Message schemas: a table of schema texts and payloads decoded to JSON and
// compared, and a table of malformed schemas with the error each gives.
#include "schema.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

std::string normalised(const char* json) {
  json_object* object = zvJsonFromString(json);
  std::string text = object ? zvJsonToString(object) : std::string("unparsable: ") + json;
  zvJsonRelease(object);
  return text;
}

std::string typeText(const std::string& name, const std::string& elements) {
  return "TYPE '" + name + "'\nTITLE = test\nVERSION : 0.1\n  STRUCT\n" + elements + "  END_STRUCT;\nEND_TYPE\n";
}

struct DecodeCase {
  const char* what;
  std::string elements;  // element lines of type 'T'
  bool check;
  const char* payload;   // hex
  const char* expected;  // JSON, or "" when decoding throws
  int code;              // the thrown code when expected is ""
  int size;              // the schema's size, -1: not checked
};

class SchemaTest : public ::testing::Test {
 protected:
  MQTTSchemaTable table{100};
};

}  // namespace

TEST_F(SchemaTest, DecodesEachFormToJson) {
  const std::string kPoint = "TYPE 'Point'\nSTRUCT\n  px : INT;\n  py : INT;\nEND_STRUCT\nEND_TYPE\n";
  MQTTSchemaUDT::Parse("Point", kPoint.c_str(), &table, false);
  const DecodeCase cases[] = {
      {"int then bool, open bit run not counted", "x : INT;\ny : BOOL;\n", false, "00 05 01 00", R"({"x":5,"y":true})",
       0, 2},
      {"one spare byte is no error", "x : INT;\ny : BOOL;\n", true, "00 05 01 00 00", R"({"x":5,"y":true})", 0, 2},
      {"two spare bytes are 11002", "x : INT;\ny : BOOL;\n", true, "00 05 01 00 00 00",
       R"({"x":5,"y":true,"errorList":[{"errorCode":11002,"errorMessage":"Invalid message. Buffer is larger than expected for the current schema. Received [6], while expected was [4]"}]})",
       0, 2},
      {"eight bools close their byte, int aligns",
       "b0 : BOOL;\nb1 : BOOL;\nb2 : BOOL;\nb3 : BOOL;\nb4 : BOOL;\nb5 : BOOL;\nb6 : BOOL;\nb7 : BOOL;\ni : INT;\n",
       false, "81 00 00 07",
       R"({"b0":true,"b1":false,"b2":false,"b3":false,"b4":false,"b5":false,"b6":false,"b7":true,"i":7})", 0, 4},
      {"byte char word dword int dint real",
       "a : BYTE;\nc : CHAR;\nw : WORD;\nd : DWORD;\ni : INT;\nn : DINT;\nr : REAL;\n", false,
       "FF 41 FF FE FF FF FF FF FF FE FF FF FF FE 3F C0 00 00",
       R"({"a":255,"c":"A","w":65534,"d":4294967295,"i":-2,"n":-2,"r":1.5})", 0, 18},
      {"time forms", "s : S5TIME;\nt : TIME;\nd : DATE;\ntod : TIME_OF_DAY;\ndt : DT;\n", false,
       "21 23 05 5E 38 C9 00 00 00 36 EE 80 24 03 0F 0C 1E 2D 12 34",
       R"({"s":"S5T#0H_2M_3S_0MS","t":"T#1D_1H_1M_1S_1MS","d":"1990-1-1","tod":"1:0:0.0","dt":"2036-3-15-12:30:45.183"})",
       0, 20},
      {"negative time", "t : TIME;\n", false, "FA A1 C7 37", R"({"t":"T#-1D_-1H_-1M_-1S_-1MS"})", 0, 4},
      {"string of 10 holding 3", "s : STRING[10];\n", true, "0A 03 61 62 63 00 00 00 00 00 00 00", R"({"s":"abc"})", 0,
       2},
      {"string padding not zero", "s : STRING[10];\n", true, "0A 03 61 62 63 00 00 00 00 00 00 01",
       R"({"s":"abc","errorList":[{"errorCode":11005,"errorMessage":"Invalid string content for property [s] with value of [abc]. String padding after the actual content is not NULL"}]})",
       0, 2},
      {"string header 12 and 3 consumes 12", "s : STRING[10];\ni : INT;\n", true,
       "0C 03 61 62 63 00 00 00 00 00 00 00 00 00 00 09",
       R"({"s":"abc","i":9,"errorList":[{"errorCode":11007,"errorMessage":"Invalid string max length for property [s]. The binary UDT message claims the string's max length is [12], but the schema specified a max length of [10]"}]})",
       0, 4},
      {"string actual above maximum", "s : STRING[2];\n", true, "02 05 61 62",
       R"({"s":"ab","errorList":[{"errorCode":11003,"errorMessage":"Binary UDT contains invalid string length information for property [s] with value of [ab]. The binary UDT's 'actual string length' [5] is larger than the binary UDT's 'maximum string length' [2]"}]})",
       0, 2},
      {"two-dimensional array", "a : ARRAY[0..1,0..2] of INT;\n", false, "00 01 00 02 00 03 00 04 00 05 00 06",
       R"({"a":[[1,2,3],[4,5,6]]})", 0, 12},
      {"blank after comma with bounds above 0, each row aligned", "a : ARRAY[1..2, 1..3] of BYTE;\n", false,
       "01 02 03 00 04 05 06 00", R"({"a":[[1,2,3],[4,5,6]]})", 0, 8},
      {"char array is one text", "c : ARRAY[1..5] of CHAR;\n", false, "68 69 00 00 00 00", R"({"c":"hi"})", 0, 6},
      {"bool array closes its byte", "f : ARRAY[0..9] of BOOL;\nb : BYTE;\n", false, "01 02 07 00",
       R"({"f":[true,false,false,false,false,false,false,false,false,true],"b":7})", 0, 4},
      {"array of inline structs", "p : ARRAY[1..2] of STRUCT\n  on : BOOL;\n  v : BYTE;\nEND_STRUCT;\nz : BYTE;\n",
       false, "01 05 00 06 09 00", R"({"p":[{"on":true,"v":5},{"on":false,"v":6}],"z":9})", 0, 6},
      {"named type and array of it", "at : 'Point';\nps : ARRAY[0..1] of 'Point';\n", false,
       "00 01 00 02 00 03 00 04 00 05 00 06", R"({"at":{"px":1,"py":2},"ps":[{"px":3,"py":4},{"px":5,"py":6}]})", 0,
       12},
      {"inline struct and attributes", "s : STRUCT\n  a {note := 'x'} BYTE;\nEND_STRUCT;\nb : BYTE;\n", false, "07 08",
       R"({"s":{"a":7},"b":8})", 0, 2},
      {"array of strings", "s : ARRAY[0..1] of STRING[2];\n", true, "02 01 61 00 02 02 62 63", R"({"s":["a","bc"]})", 0,
       4},
      {"short payload throws 11001", "x : DINT;\ny : DINT;\n", false, "00 00 00 01", "", MQTT_SCHEMA_MSG_SHORT, 8},
      {"short payload with the flag keeps what was decoded", "x : DINT;\ny : DINT;\n", true, "00 00 00 01",
       R"({"x":1,"errorList":[{"errorCode":11001,"errorMessage":"Invalid binary UDT message. The message ([4] bytes long) is shorter than the current schema requires ([8] bytes)."}]})",
       0, 8},
      {"string header beyond the payload stops decoding", "s : STRING[200];\nx : INT;\n", true, "C8 03 61 62",
       R"({"errorList":[{"errorCode":11001,"errorMessage":"Invalid binary UDT message. The message ends at byte [4], inside element [s] that needs [198] more bytes."}]})",
       0, 4},
      {"string header beyond the payload without the flag", "s : STRING[200];\nx : INT;\n", false, "FF 03 61 62", "",
       MQTT_SCHEMA_MSG_SHORT, 4},
      {"char array beyond the payload", "c : ARRAY[1..5] of CHAR;\n", true, "61 62 63",
       R"({"errorList":[{"errorCode":11001,"errorMessage":"Invalid binary UDT message. The message ([3] bytes long) is shorter than the current schema requires ([6] bytes)."}]})",
       0, 6},
      {"empty payload", "x : INT;\n", true, "",
       R"({"errorList":[{"errorCode":11001,"errorMessage":"Invalid binary UDT message. The message ([0] bytes long) is shorter than the current schema requires ([2] bytes)."}]})",
       0, 2},
      {"array of arrays fails when decoded", "a : ARRAY[0..1] of ARRAY;\n", true, "00 00", "",
       MQTT_SCHEMA_ERR_UNSUPPORTED, -2},
  };
  int n = 0;
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = "T" + std::to_string(n++);
    std::string text = typeText(name, c.elements);
    MQTTSchema* schema = nullptr;
    try {
      schema = MQTTSchema::Create(MQTTSchema::GetMsgSchemaSyntax("UDT"), name.c_str(), text.c_str(), &table, c.check);
    } catch (const YXException& e) {
      EXPECT_EQ(c.size, -2) << e.GetErrorMsg();  // refused while measuring
      EXPECT_EQ(e.GetErrorCode(), c.code);
      continue;
    }
    ASSERT_NE(schema, nullptr);
    if (c.size >= 0) {
      EXPECT_EQ(schema->GetSize(), c.size);
    }
    std::vector<uint8_t> payload = hex(c.payload);
    try {
      json_object* json = schema->BuildJson(payload.data(), static_cast<int>(payload.size()));
      EXPECT_EQ(std::string(zvJsonToString(json)), normalised(c.expected));
      zvJsonRelease(json);
    } catch (const YXException& e) {
      EXPECT_STREQ(c.expected, "") << e.GetErrorMsg();
      EXPECT_EQ(e.GetErrorCode(), c.code) << e.GetErrorMsg();
    }
  }
}

struct ErrorCase {
  const char* what;
  std::string text;
  const char* type;
  int code;
  const char* message;
};

TEST_F(SchemaTest, MalformedSchemasGiveClearErrors) {
  std::string deep = "TYPE 'D'\nSTRUCT\n";
  for (int i = 0; i < 70; ++i) deep += "s" + std::to_string(i) + " : STRUCT\n";
  std::string chain = "TYPE 'C0'\nSTRUCT\nx : BYTE;\nEND_STRUCT\nEND_TYPE\n";
  for (int i = 1; i < 70; ++i)
    chain += "TYPE 'C" + std::to_string(i) + "'\nSTRUCT\nx : 'C" + std::to_string(i - 1) + "';\nEND_STRUCT\nEND_TYPE\n";
  const ErrorCase cases[] = {
      {"element without colon", typeText("E1", "x INT;\n"), "E1", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [x INT;]."},
      {"element without blank", typeText("E2", "x:INT;\n"), "E2", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [x:INT;]."},
      {"unknown keyword", typeText("E3", "x : FLOAT;\n"), "E3", MQTT_SCHEMA_ERR_UNSUPPORTED,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [x : FLOAT;]. Invalid element type: FLOAT"},
      {"blank after comma makes bound 0 invalid", typeText("E4", "a : ARRAY[0..1, 0..2] of INT;\n"), "E4",
       MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [a : ARRAY[0..1, 0..2] of INT;]. Invalid numeric "
       "value for the initial dimension range."},
      {"upper-case OF", typeText("E5", "a : ARRAY[0..1] OF INT;\n"), "E5", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [a : ARRAY[0..1] OF INT;]. Missing 'of' on the "
       "Array definition."},
      {"range without dots", typeText("E6", "a : ARRAY[0-1] of INT;\n"), "E6", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [a : ARRAY[0-1] of INT;]. Not able to retrieve "
       "dimension range."},
      {"size on an int", typeText("E7", "a : INT[2];\n"), "E7", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [a : INT[2];]. Size element is expected only for "
       "types ARRAY and STRING"},
      {"string length 0", typeText("E8", "s : STRING[0];\n"), "E8", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [s : STRING[0];]. Invalid numeric value for size"},
      {"unknown named type", typeText("E9", "p : 'Nope';\n"), "E9", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT element [p : 'Nope';]. Invalid type based on the user "
       "defined struct, struct not found by name"},
      {"type line without quotes", "TYPE Bare\nSTRUCT\nx : INT;\nEND_STRUCT\nEND_TYPE\n", "Bare", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 2 - Invalid UDT body. Found a STRUCT without a valid TYPE definition."},
      {"element named like a keyword", typeText("E10", "STRUCTure : INT;\n"), "E10", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT body. Found multiple STRUCT tokens."},
      {"missing END_TYPE", "TYPE 'E11'\nSTRUCT\nx : INT;\nEND_STRUCT\n", "E11", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 5 - Invalid UDT body. Found the end of the schema definition without "
       "closing a type definition. Missing END_TYPE for type [E11]"},
      {"END_STRUCT without STRUCT", "TYPE 'E12'\nEND_STRUCT\n", "E12", YX_ERR_NOT_FOUND,
       "Error in messageSchemaBody in line 2 - Invalid index"},
      {"END_TYPE with a struct open", "TYPE 'E13'\nSTRUCT\nx : INT;\nEND_TYPE\n", "E13", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 4 - Invalid UDT body. Missing a END_STRUCT before closing the type "
       "definition by END_TYPE."},
      {"type without struct", "TYPE 'E14'\nEND_TYPE\n", "E14", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 2 - Not able to extract schema struct from the UDT's messageSchema Body "},
      {"two STRUCT tokens", "TYPE 'E15'\nSTRUCT\nSTRUCT\n", "E15", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 3 - Invalid UDT body. Found multiple STRUCT tokens."},
      {"element outside a struct", "TYPE 'E16'\nx : INT;\n", "E16", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 2 - Invalid UDT body. Found element outside a valid STRUCT."},
      {"TITLE without TYPE", "TITLE = x\n", "E17", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 1 - Invalid UDT body. Found a TITLE without a valid TYPE definition."},
      {"type redefined", typeText("Twice", "x : INT;\n") + typeText("Twice", "y : INT;\n"), "Twice",
       MQTT_SCHEMA_ERR_TEXT, "Error in messageSchemaBody in line 14 - Type [Twice] redefined in UDT body."},
      {"requested type absent", typeText("E18", "x : INT;\n"), "Other", MQTT_SCHEMA_ERR_TEXT,
       "Invalid type based on the user defined struct, struct not found by name [Other]"},
      {"structures nested too deep", deep, "D", MQTT_SCHEMA_ERR_TEXT,
       "Error in messageSchemaBody in line 66 - Invalid UDT body. Structures nested deeper than 64 levels."},
      {"named types chained too deep", chain, "C69", MQTT_SCHEMA_ERR_UNSUPPORTED,
       "Schema nested deeper than 64 levels"},
      {"array larger than any message", typeText("Big", "a : ARRAY[0..999999999] of BYTE;\n"), "Big",
       MQTT_SCHEMA_ERR_TEXT, "The schema of type [Big] describes more than 65536 bytes"},
      {"array of empty structs", typeText("Empty", "a : ARRAY[0..999999999] of STRUCT\nEND_STRUCT;\n"), "Empty",
       MQTT_SCHEMA_ERR_UNSUPPORTED,
       "Invalid binary UDT message. The schema describes more values than the message can carry."},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      MQTTSchemaUDT::Parse(c.type, c.text.c_str(), &table, true);
      ADD_FAILURE() << "accepted";
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), c.code);
      EXPECT_STREQ(e.GetErrorMsg(), c.message);
    }
  }
  // A type declared by an earlier parse into the same table cannot come again.
  try {
    MQTTSchemaUDT::Parse("Twice", typeText("Twice", "z : INT;\n").c_str(), &table, true);
    ADD_FAILURE() << "accepted";
  } catch (const YXException& e) {
    EXPECT_STREQ(e.GetErrorMsg(), "Error in messageSchemaBody in line 7 - Type [Twice] redefined in UDT body.");
  }
}

TEST_F(SchemaTest, SyntaxNamesAndDescription) {
  EXPECT_EQ(MQTTSchema::GetMsgSchemaSyntax("UDT"), 0);
  EXPECT_STREQ(MQTTSchema::GetMsgSchemaSyntaxStr(0), "UDT");
  for (const char* bad : {"udt", "", "XML"}) {
    try {
      MQTTSchema::GetMsgSchemaSyntax(bad);
      ADD_FAILURE() << bad;
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), MQTT_SCHEMA_ERR_SYNTAX);
    }
  }
  EXPECT_THROW(MQTTSchema::GetMsgSchemaSyntaxStr(1), YXException);
  EXPECT_THROW(MQTTSchema::Create(1, "A", "", &table, false), YXException);
  EXPECT_EQ(MQTTSchema::GetType("dInT"), MQTT_SCHEMA_DINT);

  std::string text = "TYPE \"A\"\n" + typeText("A", "x : INT;\ny : BOOL;\n");  // the first line has no quotes
  MQTTSchema* schema = MQTTSchema::Create(0, "A", text.c_str(), &table, false);
  auto* udt = static_cast<MQTTSchemaUDT*>(schema);
  EXPECT_STREQ(udt->GetTitle(), "test");
  EXPECT_STREQ(udt->GetVersion(), "0.1");
  json_object* json = schema->GetJson();
  json_object* expected = zvJsonAlloc();
  zvJsonAddString(expected, "messageSchemaSyntax", "UDT");
  zvJsonAddString(expected, "messageSchemaType", "A");
  zvJsonAddString(expected, "messageSchemaBody", text.c_str());
  EXPECT_STREQ(zvJsonToString(json), zvJsonToString(expected));
  zvJsonRelease(json);
  zvJsonRelease(expected);
}
