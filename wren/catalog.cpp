// Catalog methods: databases of the server and tables of a database.
#include <algorithm>
#include <cstdio>

#include "wren.h"

namespace wren {
namespace {

void setShape(json& result, json names, json types) {
  result["fieldNames"] = std::move(names);
  result["fieldTypes"] = std::move(types);
  result["dataFormat"] = "arrays";
}

void setDatabaseShape(json& result) { setShape(result, {"database", "path", "uid"}, {"STRING", "STRING", "STRING"}); }

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Walks the session's databases; visit returns false to stop.
template <class Visit>
void eachDatabase(EasySession& session, Visit visit) {
  DatabaseIterator databases(session);
  std::string name, path;
  while (databases.Next(name, path))
    if (!visit(name, path)) return;
}

json databaseRow(const std::string& name, const std::string& path) { return {name, path, "todo_uid"}; }

}  // namespace

void listDatabases(Call& call) {
  traceMethod("listDatabases");
  std::string prefix = readText(call.params, "partialDatabaseName", "");
  readText(call.params, "resultOrder", "ascending");
  Pager pager(readInt(call.params, "skipRecords", 0), readInt(call.params, "maxRecords", 20));
  json& result = call.result();
  setDatabaseShape(result);
  json rows = json::array();
  eachDatabase(*call.entry->session, [&](const std::string& name, const std::string& path) {
    if (!pager.take() || !startsWith(name, prefix)) return true;
    rows.push_back(databaseRow(name, path));
    return pager.more();
  });
  result["data"] = std::move(rows);
}

void createDatabase(Call& call) {
  traceMethod("createDatabase");
  std::string path = readRequiredText(call.params, "path");
  if (!checkRelativePath(call.reply, path, "path")) return;
  try {
    call.entry->session->CreateDatabase(call.database, path);
  } catch (const ZVException& failure) {
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
    return;
  }
  json& result = call.result();
  setDatabaseShape(result);
  json rows = json::array();
  eachDatabase(*call.entry->session, [&](const std::string& name, const std::string& file) {
    rows.push_back(databaseRow(name, file));
    return true;
  });
  result["data"] = std::move(rows);
}

void alterDatabase(Call& call) {
  traceMethod("alterDatabase");
  std::printf("this method is not implemented yet.\n");
  std::fflush(stdout);
  setError(call.reply, -1, "this method is not implemented yet.");
}

void deleteDatabase(Call& call) {
  traceMethod("deleteDatabase");
  try {
    releaseKeptDatabases(call.database, call.entry.get());  // a kept connection holds the file open
    call.entry->session->DeleteDatabase(call.database.c_str());
  } catch (const ZVException& failure) {
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
  }
}

void listTables(Call& call) {
  traceMethod("listTables");
  EasyDatabase database(call.entry->session.get(), call.database, true);
  std::string prefix = readText(call.params, "partialTableName", "");
  auto names = call.params.find("tableNames");
  bool byList = names != call.params.end() && names->is_array() && !names->empty();
  readText(call.params, "resultOrder", "ascending");
  Pager pager(readInt(call.params, "skipRecords", 0), readInt(call.params, "maxRecords", 20));
  json& result = call.result();
  setShape(result, {"database", "table", "path", "uid", "isActive", "isExclusive"},
           {"STRING", "STRING", "STRING", "STRING", "BIT", "BIT"});
  json rows = json::array();
  TableIterator tables(database);
  std::string name, path;
  while (tables.Next(name, path)) {
    if (!pager.take()) continue;
    bool wanted =
        byList ? std::find(names->begin(), names->end(), json(name)) != names->end() : startsWith(name, prefix);
    if (!wanted) continue;
    rows.push_back({call.database, name, path, "todo_uid", 1, 0});
    if (!pager.more()) break;
  }
  result["data"] = std::move(rows);
}

}  // namespace wren
