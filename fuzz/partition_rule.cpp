// Partition rules as a table definition carries them: the rule text parsed
// against a table with date, time stamp and other fields, then evaluated for
// a row whose values come from the input. Errors are the engine's exceptions;
// nothing else may happen.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "rl_core.h"

using namespace ravlink_detail;

namespace {

TableDef table() {
  TableDef def;
  def.name = "readings";
  for (auto [name, type] :
       {std::pair<const char *, int>{"day", 75}, {"ts", 124}, {"ms", 257}, {"n", 16}, {"label", 1}, {"at", 83}}) {
    FieldDef field;
    field.name = name;
    field.type = type;
    field.length = type == 1 ? 20 : 8;
    def.fields.push_back(field);
  }
  return def;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  static const TableDef def = table();
  std::vector<std::string> values;
  for (size_t i = 0; i < def.fields.size(); ++i) values.push_back(in.text());
  const std::string rule = in.rest();
  PartitionRule parsed;
  try {
    parsed.parse(rule, def);
  } catch (...) {
    return 0;
  }
  std::vector<Value> row;
  try {
    for (size_t i = 0; i < def.fields.size(); ++i) row.push_back(fromString(def.fields[i], values[i].c_str(), 0, 0));
  } catch (...) {
    return 0;
  }
  try {
    parsed.evaluate(row, def);
  } catch (...) {
  }
  return 0;
}
