// The server's event log: read, filtered and paged, and purged.
#include <strings.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

constexpr int kAnyValue = -999;
constexpr int kAnyError = 999999;
constexpr uint32_t kRecordBuffer = 8192;
constexpr uint32_t kFixedPart = RL_LOG_FIXED_PART;
constexpr uint32_t kMaxText = 8080;

struct EventLogFilter {
  bool present = false;
  bool latestFirst = false;
  bool hasUser = false, hasNode = false;
  std::string userid, nodnam;
  int32_t error = kAnyValue, evclass = kAnyValue, event = kAnyValue;
  int32_t startDate = 0, endDate = 0, startTime = 0, endTime = 0;
};

struct Record {
  int32_t evclass, event, day, time, reserved, seq, error;
  uint32_t instid;
  std::string userid, nodnam, extra;
};

const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Strict decimal parsing: the whole text, within int range.
bool parseNumber(const char* text, int32_t* out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (*end || errno || v < INT32_MIN || v > INT32_MAX) return false;
  *out = int32_t(v);
  return true;
}

bool prefixMatches(const std::string& filter, const std::string& value) {
  if (filter.empty()) return value.empty();
  return strncasecmp(value.c_str(), filter.c_str(), filter.size()) == 0;
}

// One filter element into the filter; false with the reason when its value does not parse.
bool addFilter(EventLogFilter& f, const char* field, const char* value, std::string* reason) {
  auto bad = [&](const char* expected) {
    *reason = std::string("zvMonGetEventLogs - Invalid filter - ") + field + " \"" + value + "\" is not " + expected;
    return false;
  };
  if (strcmp(field, "userid") == 0) {
    f.hasUser = true;
    f.userid = value;
  } else if (strcmp(field, "nodnam") == 0) {
    f.hasNode = true;
    f.nodnam = value;
  } else if (strcmp(field, "error") == 0) {
    if (strcmp(value, "*") == 0)
      f.error = kAnyError;
    else if (!parseNumber(value, &f.error))
      return bad("a number or *");
  } else if (strcmp(field, "evclass") == 0 || strcmp(field, "event") == 0) {
    if (!parseNumber(value, strcmp(field, "event") == 0 ? &f.event : &f.evclass)) return bad("a number");
  } else if (strcmp(field, "startDate") == 0 || strcmp(field, "endDate") == 0) {
    int y, m, d;
    char tail;
    // Years the log can hold; an impossible day of a real month (30 February) is no bound, as before.
    if (sscanf(value, "%d/%d/%d%c", &y, &m, &d, &tail) != 3 || y < 1 || y > 9999 || d < 1)
      return bad("a date year/month/day from 1/1/1 to 9999/12/31");
    (strcmp(field, "startDate") == 0 ? f.startDate : f.endDate) = dateToDayNumber(y, m, d);
  } else if (strcmp(field, "startTime") == 0 || strcmp(field, "endTime") == 0) {
    int h, m;
    char tail;
    if (sscanf(value, "%d:%d%c", &h, &m, &tail) != 2 || h < 0 || h > 23 || m < 0 || m > 59)
      return bad("a time hours:minutes");
    (strcmp(field, "startTime") == 0 ? f.startTime : f.endTime) = (h * 60 + m) * 60;
  } else if (strcmp(field, "latestFirst") == 0) {
    f.latestFirst = strcmp(value, "true") == 0;
  }
  return true;
}

bool matchesEventFilter(const Record& r, const EventLogFilter& f) {
  if (f.hasUser && !prefixMatches(f.userid, r.userid)) return false;
  if (f.hasNode && !prefixMatches(f.nodnam, r.nodnam)) return false;
  if (f.error == kAnyError ? r.error == 0 : f.error != kAnyValue && f.error != r.error) return false;
  if (f.evclass != kAnyValue && f.evclass != r.evclass) return false;
  if (f.event != kAnyValue && f.event != r.event) return false;
  if (f.startDate && (r.day < f.startDate || (f.startTime && r.day == f.startDate && r.time < f.startTime)))
    return false;
  if (f.endDate && (r.day > f.endDate || (f.endTime && r.day == f.endDate && r.time > f.endTime))) return false;
  return true;
}

Record parseRecord(const unsigned char* b, uint32_t length) {
  Record r{};
  memcpy(&r.evclass, b + RL_LOG_AT_CLASS, 4);
  memcpy(&r.event, b + RL_LOG_AT_EVENT, 4);
  memcpy(&r.day, b + RL_LOG_AT_DAY, 4);
  memcpy(&r.time, b + RL_LOG_AT_SECONDS, 4);
  memcpy(&r.reserved, b + RL_LOG_AT_RESERVED, 4);
  memcpy(&r.seq, b + RL_LOG_AT_SEQUENCE, 4);
  memcpy(&r.error, b + RL_LOG_AT_ERROR, 4);
  memcpy(&r.instid, b + RL_LOG_AT_INSTANCE, 4);
  r.userid.assign(reinterpret_cast<const char*>(b + RL_LOG_AT_USER),
                  strnlen(reinterpret_cast<const char*>(b + RL_LOG_AT_USER), 32));
  r.nodnam.assign(reinterpret_cast<const char*>(b + RL_LOG_AT_NODE),
                  strnlen(reinterpret_cast<const char*>(b + RL_LOG_AT_NODE), 32));
  uint16_t varLength;
  memcpy(&varLength, b + RL_LOG_AT_TEXT_LENGTH, 2);
  // The record's own length is trusted only within what was read and the text's room.
  uint32_t n =
      std::min<uint32_t>(std::min<uint32_t>(varLength, kMaxText), length > kFixedPart ? length - kFixedPart : 0);
  const char* text = reinterpret_cast<const char*>(b + kFixedPart);
  r.extra.assign(text, strnlen(text, n));
  return r;
}

void dayNumberToDate(int32_t dayNumber, int* year, int* month, int* day) {
  // The inverse of dateToDayNumber, found by search from an estimate.
  int y = int((int64_t(dayNumber) + 621049) * 100 / 36525);
  for (int yy = y + 1; yy >= y - 2; --yy)
    for (int m = 12; m >= 1; --m) {
      int first = dateToDayNumber(yy, m, 1);
      if (first && first <= dayNumber) {
        *year = yy;
        *month = m;
        *day = dayNumber - first + 1;
        return;
      }
    }
  *year = *month = *day = 0;
}

const char* classText(int32_t evclass, int32_t event, bool* hasCode, const char** codeText) {
  static const char* const kLogon[] = {"Successful logon", "Successful logoff",   "Failed logon",
                                       "Add new user",     "Modify user profile", "Delete user"};
  static const char* const kDump[] = {"Begin dynamic dump",
                                      "Transaction controlled file",
                                      "Clean non-transaction file",
                                      "Dirty non-transaction file",
                                      "Dump information",
                                      "Dump warning",
                                      "Fatal dump error"};
  static const char* const kDelete[] = {"Restore of deleted file", "Transaction-dependent delete",
                                        "Non-transaction-dependent delete."};
  static const char* const kSnapshot[] = {"System snapshot", "File snapshot", "User snapshot"};
  static const char* const kRestore[] = {"Create restore point", "Recovery results", "TRANBAK results",
                                         "Create RP but no keep"};
  *hasCode = true;
  *codeText = "unknown";
  auto pick = [&](const char* const* texts, int count) {
    if (event >= 1 && event <= count) *codeText = texts[event - 1];
  };
  switch (evclass) {
    case 1:
      pick(kLogon, 6);
      return "User logon information";
    case 2:
      pick(kDump, 7);
      if (event == 16) *codeText = "End dynamic dump";
      return "Dynamic dump info";
    case 3:
      *codeText = "";
      return "ZVSTATUS entries";
    case 4:
      *hasCode = false;
      return "Temp user logon info";
    case 5:
      pick(kDelete, 3);
      return "File deletion";
    case 6:
      if (event == 1) *codeText = "Add / del pair";
      return "Abort node list";
    case 7:
      pick(kSnapshot, 3);
      return "Snapshot";
    case 8:
      pick(kRestore, 4);
      return "Restore points";
    case 1024:
      *hasCode = false;
      return "Special purge request";
    case 1025:
      *hasCode = false;
      return "Beginning of user defined";
    default:
      *hasCode = false;
      return "unknown";
  }
}

void addEventLogRow(json_object* array, const Record& r) {
  json_object* row = zvJsonAlloc();
  bool hasCode;
  const char* codeText;
  const char* classDesc = classText(r.evclass, r.event, &hasCode, &codeText);
  zvJsonAddBigint(row, "evclass", r.evclass);
  zvJsonAddString(row, "evclassDesc", classDesc);
  if (hasCode) zvJsonAddString(row, "evcodeDesc", codeText);
  zvJsonAddBigint(row, "event", r.event);
  int y, m, d;
  dayNumberToDate(r.day, &y, &m, &d);
  char text[64];
  snprintf(text, sizeof text, "%04d/%02d/%02d", y, m, d);
  zvJsonAddString(row, "date", text);
  snprintf(text, sizeof text, "%02d:%02d:%02d", r.time / 3600, r.time % 3600 / 60, r.time % 60);
  zvJsonAddString(row, "time", text);
  zvJsonAddBigint(row, "rsvrd", r.reserved);
  zvJsonAddBigint(row, "seqnm", r.seq);
  zvJsonAddBigint(row, "error", r.error);
  zvJsonAddString(row, "errorDesc", "");
  zvJsonAddBigint(row, "instid", r.instid);
  zvJsonAddString(row, "userid", r.userid.c_str());
  zvJsonAddString(row, "nodnam", r.nodnam.c_str());
  zvJsonAddString(row, "extra", r.extra.c_str());
  zvJsonArrayAdd(array, row);
}

}  // namespace

int32_t dateToDayNumber(int year, int month, int day) {
  // Outside these the formula leaves 32 bits; no log record lies there.
  if (month < 1 || month > 12 || year < -99999 || year > 99999 || day < -999999) return 0;
  int last = kMonthDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0);
  if (day > last) return 0;
  int y = month <= 2 ? year - 1 : year;
  int m = month <= 2 ? month + 13 : month + 1;
  return int32_t(int64_t(36525) * y / 100 + 306 * m / 10 + day - 621049);
}

void readEventLog(json_object* request, json_object** reply) {
  int32_t limit = 0, start = 0;
  int sortByDate = 0;
  bool hasLimit = zvJsonGetIntByName(request, "limit", &limit);
  if (hasLimit) zvJsonGetIntByName(request, "start", &start);
  limit = std::max(0, limit);
  start = std::max(0, start);
  zvJsonGetBooleanByName(request, "sortByDate", &sortByDate);
  EventLogFilter filter;
  json_object* filters = nullptr;
  if (zvJsonGetByName(request, "filters", &filters) && json_object_is_type(filters, json_type_array)) {
    for (int i = 0, n = zvJsonArrayLength(filters); i < n; ++i) {
      json_object* element = zvJsonArrayGetIdx(filters, i);
      const char* field = nullptr;
      const char* value = nullptr;
      if (!zvJsonGetStringByName(element, "field", &field) || !zvJsonGetStringByName(element, "value", &value) ||
          !field || !value)
        continue;  // an element without both texts says nothing
      std::string reason;
      if (!addFilter(filter, field, value, &reason)) {
        zvJsonSetError(999, reason.c_str(), *reply);
        return;
      }
      filter.present = true;
    }
  }
  int file = int16_t(api.OPNRFIL(-1, "SYSLOGDT.YXS", 9));
  if (file < 0) {
    zvJsonSetError(file, "zvMonGetEventLogs: Open SYSLOGDT.YXS error", *reply);
    return;
  }
  int16_t index = int16_t(file + (sortByDate ? 2 : 1));
  json_object* entries = zvJsonAllocArray();
  int64_t total = 0;
  std::vector<unsigned char> buffer(kRecordBuffer);
  bool backwards = filter.latestFirst;
  for (bool first = true;; first = false) {
    uint32_t length = kRecordBuffer;
    int r = backwards
                ? (first ? api.LSTVREC(index, buffer.data(), &length) : api.PRVVREC(index, buffer.data(), &length))
                : (first ? api.FRSVREC(index, buffer.data(), &length) : api.NXTVREC(index, buffer.data(), &length));
    if (r != 0) break;
    Record record = parseRecord(buffer.data(), std::min(length, kRecordBuffer));
    if (filter.present && !matchesEventFilter(record, filter)) continue;
    ++total;
    if (total > start && total <= int64_t(start) + limit) addEventLogRow(entries, record);
  }
  zvJsonAddBigint(*reply, "total", total);
  zvJsonAdd(*reply, "logEntries", entries);
  api.CLRFIL(int16_t(file));
  zvJsonSetSuccess(*reply);
}

void purgeEventLogs(json_object* request, json_object** reply) {
  int32_t days = 0;
  if (!zvJsonGetIntByName(request, "days", &days) || days < 1) {
    zvJsonSetError(999, "zvMonPurgeEventLogs: Invalid number of days", *reply);
    return;
  }
  int r = int16_t(api.SYSLOG(1024, 0, &days, 4));
  if (r == RL_MON_NOT_ADMINISTRATOR) {
    zvJsonSetError(r, "zvMonPurgeEventLogs: Error - only an administrator of this server purges its log", *reply);
    return;
  }
  if (r != 0) {
    zvJsonSetError(r, "zvMonPurgeEventLogs: Error", *reply);
    return;
  }
  zvJsonSetSuccess(*reply);
}

}  // namespace finch
