// The create statement of a stored procedure, a user-defined function or a
// trigger, written from the catalog: declarations or trigger clauses, the
// stored body, and on request the execute grants. Nothing is reported: a
// query that fails leaves its part of the statement out.
#include <strings.h>

#include <set>

#include "plover.h"

namespace plover {

namespace {

bool is(const std::string& text, const char* word) { return strcasecmp(text.c_str(), word) == 0; }

// One row of a routine's column list.
struct Declaration {
  std::string argtype, col, datatype;
  int width = 0, scale = 0;
};

std::string typeText(const Declaration& d) {
  std::string text = is(d.datatype, "double") ? "double precision" : d.datatype;
  if (isSizedType(d.datatype))
    text += " (" + std::to_string(d.width) + (d.scale > 0 ? "," + std::to_string(d.scale) : "") + ")";
  return text;
}

std::string declarationText(const Declaration& d, bool withArgtype) {
  return (withArgtype ? "\t" + d.argtype : "") + "\t" + sqlIdentifier(d.col) + " " + typeText(d);
}

struct Lookup {
  int rssid = -1, objectId = -1;
  std::string table, tableOwner, time, event, refersToOld, refersToNew, granularity;
};

class RoutineWriter {
 public:
  RoutineWriter(SqlScriptContext& context, const std::string& owner, const std::string& name)
      : context_(context), owner_(owner), name_(name) {}

  bool rows(const std::string& statement, std::vector<SqlRow>& out) {
    out.clear();
    int code = 0;
    return queryRows(context_.connection, statement, out, code);
  }

  Lookup lookup(bool trigger, const char* procType) {
    Lookup l;
    std::vector<SqlRow> found;
    std::string statement =
        trigger ? "select rssid, triggerid, tbl, tblowner, trigger_time, trigger_event, refers_to_old, "
                  "refers_to_new, statement_or_row from admin.systrigger where triggername = " +
                      sqlLiteral(name_) + " and owner = " + sqlLiteral(owner_)
                : std::string("select rssid, proc_id from admin.sysprocedures where proc_type = '") + procType +
                      "' and proc_name = " + sqlLiteral(name_) + " and owner = " + sqlLiteral(owner_);
    if (!rows(statement, found) || found.empty()) return l;
    const SqlRow& r = found.front();
    l.rssid = cellInt(r, 0, -1);
    l.objectId = cellInt(r, 1, -1);
    l.table = cellText(r, 2), l.tableOwner = cellText(r, 3), l.time = cellText(r, 4), l.event = cellText(r, 5);
    l.refersToOld = cellText(r, 6), l.refersToNew = cellText(r, 7), l.granularity = cellText(r, 8);
    return l;
  }

  void parameterLists(const Lookup& l) {
    std::vector<SqlRow> found;
    // A routine whose columns cannot be read still closes the header's parenthesis.
    rows("select argtype, col, datatype, width, scale from admin.sysproccolumns where proc_id =" +
             std::to_string(l.objectId) + " and rssid =" + std::to_string(l.rssid) + " order by id",
         found);
    std::vector<Declaration> parameters, results, returns;
    for (const SqlRow& r : found) {
      Declaration d{cellText(r, 0), cellText(r, 1), cellText(r, 2), cellInt(r, 3, 0), cellInt(r, 4, 0)};
      (is(d.argtype, "result") ? results : is(d.argtype, "udf_return") ? returns : parameters).push_back(d);
    }
    std::string text;
    for (size_t i = 0; i < parameters.size(); ++i) text += (i ? ",\n" : "") + declarationText(parameters[i], true);
    text += "\n)";
    if (!results.empty()) {
      text += "\nresult (\n";
      for (size_t i = 0; i < results.size(); ++i) text += (i ? ",\n" : "") + declarationText(results[i], false);
      text += "\n)";
    }
    if (!returns.empty()) {
      text += "\nreturns ";
      for (const Declaration& d : returns) text += typeText(d);
    }
    appendScript(context_, text);
  }

  void triggerClauses(const Lookup& l) {
    std::string text = is(l.time, "B") ? "\tbefore " : "\tafter ";
    text += is(l.event, "I")   ? "insert "
            : is(l.event, "U") ? "update "
            : is(l.event, "D") ? "delete "
                               : "\n-- the trigger \"event\" is not valid";
    if (is(l.event, "U")) text += updateColumns(l);
    text += "\n\ton " + qualifiedName(l.tableOwner, l.table);
    bool refersNew = is(l.refersToNew, "Y"), refersOld = is(l.refersToOld, "Y");
    if (refersNew || refersOld)
      text += std::string("\n\treferencing ") + (refersNew ? "newrow" : "") + (refersNew && refersOld ? ", " : "") +
              (refersOld ? "oldrow" : "");
    text += std::string("\n\tfor each ") + (is(l.granularity, "R") ? "row" : "statement");
    appendScript(context_, text);
  }

  // The body rows: the first is the import section, each further one a code block.
  // False when the body query fails, which ends the statement.
  bool body(const Lookup& l, const char* textKind) {
    std::vector<SqlRow> found;
    if (!rows(std::string("select proc_text from admin.sysproctext where proc_type = '") + textKind + "'  and id = '" +
                  std::to_string(l.objectId) + "' and rssId = '" + std::to_string(l.rssid) + "' order by seq",
              found))
      return false;
    for (size_t i = 0; i < found.size(); ++i) {
      std::string text = cellText(found[i], 0);
      if (i == 0 && !text.empty()) appendScript(context_, "\nimport\n" + text);
      if (i > 0) appendScript(context_, "\nbegin\n" + text);
    }
    appendScript(context_, "end\n");
    return true;
  }

  void executeGrants() {
    std::vector<SqlRow> found;
    if (!rows("select grantee, exe from admin.systabauth where tbl = " + sqlLiteral(name_) + " and tblOwner = " +
                  sqlLiteral(owner_) + " and grantee != " + sqlLiteral(owner_) + " and (exe = 'y' or exe = 'g')",
              found))
      return;
    for (const SqlRow& g : found)
      appendScript(context_, "\ngrant execute on " + qualifiedName(owner_, name_) + " to " + cellText(g, 0) +
                                 (is(cellText(g, 1), "g") ? " with grant option" : "") + ";");
  }

 private:
  // "of (...)" with the trigger's columns in the table's order, when it does not fire on every column.
  std::string updateColumns(const Lookup& l) {
    std::vector<SqlRow> found;
    auto count = [&](const std::string& statement) {
      return rows(statement, found) && !found.empty() ? cellInt(found.front(), 0, -1) : -1;
    };
    int triggerColumns = count("select count(*) from admin.systrigcols where triggername = " + sqlLiteral(name_) +
                               "  and owner = " + sqlLiteral(owner_));
    int tableColumns = count("select count(*) from admin.syscolumns where tbl = " + sqlLiteral(l.table) +
                             "  and owner = " + sqlLiteral(l.tableOwner));
    if (triggerColumns == tableColumns) return "";
    std::set<int> ids;
    if (rows("select colid from admin.systrigcols where triggername = " + sqlLiteral(name_) +
                 "  and owner = " + sqlLiteral(owner_),
             found))
      for (const SqlRow& r : found) ids.insert(cellInt(r, 0, -1));
    if (!rows("select col, id from admin.syscolumns where tbl = " + sqlLiteral(l.table) +
                  "  and owner = " + sqlLiteral(l.tableOwner) + " order by id",
              found))
      return "";
    std::string list;
    for (const SqlRow& r : found)
      if (ids.count(cellInt(r, 1, -2))) list += (list.empty() ? "" : ", ") + sqlIdentifier(cellText(r, 0));
    // A trigger without a column list fires on every column: "of ()" would not run again.
    return list.empty() ? "" : "of (" + list + ")";
  }

  SqlScriptContext& context_;
  const std::string& owner_;
  const std::string& name_;
};

}  // namespace

void routineScript(SqlScriptContext& context, const std::string& owner, const std::string& name,
                   const std::string& objectType, bool withGrants) {
  RoutineWriter writer(context, owner, name);
  bool trigger = is(objectType, "TRIGGER"), function = is(objectType, "UDF");
  context.script = std::string(trigger    ? "create trigger "
                               : function ? "create function "
                                          : "create procedure ") +
                   qualifiedName(owner, name) + (trigger ? " \n" : " (\n");
  Lookup l = writer.lookup(trigger, function ? "udf" : "stored");
  if (trigger)
    writer.triggerClauses(l);
  else
    writer.parameterLists(l);
  if (writer.body(l, trigger ? "TP" : "SP") && withGrants) writer.executeGrants();
}

}  // namespace plover
