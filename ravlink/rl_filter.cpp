// Index conditions: a filter text as SQL over the table's columns.
#include "rl_filter.h"

namespace ravlink_detail {

std::string conditionSql(const std::string& text, const TableDef& def) {
  Filter filter;
  filter.parse(text, def);
  return filter.toSql();
}

}  // namespace ravlink_detail
