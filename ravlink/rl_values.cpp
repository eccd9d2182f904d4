// Values: dates and times, conversions between client values and stored
// values, names, and the exception.
#include "rl_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

using namespace ravlink_detail;

ZVException::ZVException(int code, std::string message, const char* sourceFile, int sourceLine)
    : code_(code), message_(std::move(message)), file_(sourceFile ? sourceFile : ""), line_(sourceLine) {}
ZVException::~ZVException() = default;
const char* ZVException::what() const noexcept { return message_.c_str(); }

namespace ravlink_detail {

void fail(int code, const std::string& message) { throw ZVException(code, message, "ravlink", 0); }

void failSqlite(sqlite3* db, int rc, const std::string& doing) {
  int primary = rc & 0xff;
  std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if (primary == SQLITE_CONSTRAINT && (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY))
    fail(RL_DUPLICATE_KEY, "Duplicate key while " + doing + ": " + text);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    fail(RL_BUSY, "Database file busy while " + doing + ": " + text);
  fail(RL_STORAGE_ERROR, "Storage error while " + doing + ": " + text);
}

// ---- names --------------------------------------------------------------

void checkObjectName(const char* name, const char* what) {
  if (!name || !*name) fail(RL_BAD_NAME, std::string("The ") + what + " name is empty");
  size_t n = strlen(name);
  if (n > kMaxNameLength)
    fail(RL_BAD_NAME,
         std::string("The ") + what + " name is longer than " + std::to_string(kMaxNameLength) + " characters");
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = name[i];
    if (!isalnum(c) && c != '_')
      fail(RL_BAD_NAME,
           std::string("The ") + what + " name [" + name + "] may hold only letters, digits and underscores");
  }
  if (strncasecmp(name, "rl_", 3) == 0 || strncasecmp(name, "sqlite_", 7) == 0)
    fail(RL_BAD_NAME, std::string("The ") + what + " name [" + name + "] uses a reserved prefix");
}

void checkFieldName(const std::string& name, const char* what) {
  if (name.empty()) fail(RL_BAD_NAME, std::string("The ") + what + " name is empty");
  if (name.size() > kMaxNameLength)
    fail(RL_BAD_NAME,
         std::string("The ") + what + " name is longer than " + std::to_string(kMaxNameLength) + " characters");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) fail(RL_BAD_NAME, std::string("The ") + what + " name holds a control character");
  static const char* reserved[] = {"rowid", "oid", "_rowid_"};
  for (const char* r : reserved)
    if (strcasecmp(name.c_str(), r) == 0)
      fail(RL_BAD_NAME, "The " + std::string(what) + " name [" + name + "] is reserved");
  if (strncasecmp(name.c_str(), "rl_", 3) == 0)
    fail(RL_BAD_NAME, "The " + std::string(what) + " name [" + name + "] uses a reserved prefix");
}

bool sameTableName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool TableNameLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::string quoteName(const std::string& identifier) {
  std::string out = "\"";
  for (char c : identifier) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

bool createPrivateDirectories(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path partial;
  for (const auto& part : fs::path(dir).lexically_normal()) {
    partial /= part;
    if (part.empty() || fs::is_directory(partial, ec)) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return fs::is_directory(dir, ec);
}

void createPrivateFile(const std::string& path) {
  // Made here so that SQLite finds it with its mode set; a failure is left
  // to SQLite's open to report. Only a new file is ever opened here:
  // closing a descriptor of a file drops every POSIX lock the process
  // holds on it, and SQLite's connections in this process lock theirs.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
}

std::string dataRoot() {
  const char* env = getenv("RAVLINK_DATA");
  std::filesystem::path root = (env && *env) ? std::filesystem::path(env) : std::filesystem::path("data");
  std::error_code ec;
  auto abs = std::filesystem::absolute(root, ec);
  return (ec ? root : abs).lexically_normal().string();
}

// ---- dates ----------------------------------------------------------------

int32_t packDay(int y, int m, int d) {
  int a = (14 - m) / 12;
  int64_t y2 = int64_t(y) + 4800 - a;
  int m2 = m + 12 * a - 3;
  return int32_t(d + (153 * m2 + 2) / 5 + 365 * y2 + y2 / 4 - y2 / 100 + y2 / 400 - 32045);
}

void unpackDay(int32_t day, int* y, int* m, int* d) {
  int64_t a = int64_t(day) + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t dd = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * dd / 4;
  int64_t mm = (5 * e + 2) / 153;
  *d = int(e - (153 * mm + 2) / 5 + 1);
  *m = int(mm + 3 - 12 * (mm / 10));
  *y = int(100 * b + dd - 4800 + mm / 10);
}

static bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool validDate(int y, int m, int d) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  int limit = days[m - 1] + (m == 2 && leapYear(y) ? 1 : 0);
  return d <= limit;
}

static bool validTime(int h, int mi, int s, int ms) {
  return h >= 0 && h < 24 && mi >= 0 && mi < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000;
}

std::string isoDateTime(const ZVDateTime& v) {
  int y, m, d;
  unpackDay(v.GetDate(), &y, &m, &d);
  char buf[64];
  int ms = v.GetMilliseconds();
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, ms / 3600000, ms / 60000 % 60,
           ms / 1000 % 60, ms % 1000);
  return buf;
}

static std::string isoDate(int32_t day) {
  int y, m, d;
  unpackDay(day, &y, &m, &d);
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

static std::string isoTime(int32_t ms) {
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return buf;
}

// Digit runs of a text, with an am/pm marker.
struct Digits {
  std::vector<std::string> runs;
  int meridiem = 0;  // 1 am, 2 pm
};

static Digits digitRuns(const std::string& text) {
  Digits out;
  std::string run;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (isdigit(static_cast<unsigned char>(c))) {
      run += c;
      continue;
    }
    if (!run.empty()) out.runs.push_back(run), run.clear();
    char l = char(tolower(static_cast<unsigned char>(c)));
    if ((l == 'a' || l == 'p') && i + 1 < text.size() && tolower(static_cast<unsigned char>(text[i + 1])) == 'm')
      out.meridiem = l == 'a' ? 1 : 2;
  }
  if (!run.empty()) out.runs.push_back(run);
  return out;
}

static int num(const std::string& s) { return s.size() > 9 ? -1 : atoi(s.c_str()); }

static int fullYear(const std::string& s) {
  int y = num(s);
  if (s.size() <= 2) y += y < 50 ? 2000 : 1900;
  return y;
}

// ISO forms: "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss[.ttt]]", "hh:mm[:ss[.ttt]]".
static bool parseIsoDate(const std::string& t, int32_t* day) {
  int y, m, d;
  char tail;
  if (t.size() < 10 || t[4] != '-' || sscanf(t.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) < 3) return false;
  if (!validDate(y, m, d)) return false;
  *day = packDay(y, m, d);
  return true;
}

static bool parseTimeRuns(const Digits& dg, int timeType, int32_t* ms) {
  int h = 0, mi = 0, s = 0, t = 0;
  const auto& r = dg.runs;
  if (r.empty()) return false;
  if (r.size() == 1 && (r[0].size() == 4 || timeType == 5)) {
    if (r[0].size() != 4) return false;
    h = num(r[0].substr(0, 2));
    mi = num(r[0].substr(2, 2));
  } else {
    if (r.size() < 2 || r.size() > 4) return false;
    h = num(r[0]);
    mi = num(r[1]);
    if (r.size() > 2) s = num(r[2]);
    if (r.size() > 3) {
      std::string frac = r[3].substr(0, 3);
      while (frac.size() < 3) frac += '0';
      t = num(frac);
    }
  }
  if (dg.meridiem) {
    if (h < 1 || h > 12) return false;
    if (dg.meridiem == 1 && h == 12) h = 0;
    if (dg.meridiem == 2 && h < 12) h += 12;
  }
  if (!validTime(h, mi, s, t)) return false;
  *ms = ((h * 60 + mi) * 60 + s) * 1000 + t;
  return true;
}

static bool parseDateRuns(const Digits& dg, int dateType, int32_t* day) {
  const auto& r = dg.runs;
  int y = 0, m = 0, d = 0;
  if (r.size() == 1) {
    const std::string& s = r[0];
    if (s.size() == 8)
      y = num(s.substr(0, 4)), m = num(s.substr(4, 2)), d = num(s.substr(6, 2));
    else if (s.size() == 6)
      y = fullYear(s.substr(0, 2)), m = num(s.substr(2, 2)), d = num(s.substr(4, 2));
    else
      return false;
  } else if (r.size() == 3) {
    switch (dateType) {
      case 3:
      case 4:
        d = num(r[0]), m = num(r[1]), y = fullYear(r[2]);
        break;
      case 5:
      case 6:
        y = fullYear(r[0]), m = num(r[1]), d = num(r[2]);
        break;
      default:
        m = num(r[0]), d = num(r[1]), y = fullYear(r[2]);
        break;
    }
    if (r[0].size() == 4) y = num(r[0]), m = num(r[1]), d = num(r[2]);  // year first is unambiguous
  } else {
    return false;
  }
  if (!validDate(y, m, d)) return false;
  *day = packDay(y, m, d);
  return true;
}

bool parseIso(const std::string& text, ZVDateTime* out) {
  int32_t day = 0, ms = 0;
  if (parseIsoDate(text, &day)) {
    if (text.size() > 10) {
      if (text[10] != ' ' && text[10] != 'T') return false;
      if (!parseTimeRuns(digitRuns(text.substr(11)), 3, &ms)) return false;
    }
    *out = ZVDateTime(day, ms);
    return true;
  }
  if (text.size() >= 5 && text[2] == ':' && parseTimeRuns(digitRuns(text), 3, &ms)) {
    *out = ZVDateTime(0, ms);
    return true;
  }
  return false;
}

static std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

static std::string formatDate(int32_t day, int dateType) {
  int y, m, d;
  unpackDay(day, &y, &m, &d);
  char buf[32];
  switch (dateType) {
    case 2:
      snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
      break;
    case 3:
      snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
      break;
    case 4:
      snprintf(buf, sizeof buf, "%02d/%02d/%02d", d, m, y % 100);
      break;
    case 5:
      snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
      break;
    case 6:
      snprintf(buf, sizeof buf, "%02d%02d%02d", y % 100, m, d);
      break;
    default:
      snprintf(buf, sizeof buf, "%02d/%02d/%04d", m, d, y);
      break;
  }
  return buf;
}

static std::string formatTime(int32_t ms, int timeType) {
  int h = ms / 3600000, mi = ms / 60000 % 60, s = ms / 1000 % 60, t = ms % 1000;
  int h12 = h % 12 == 0 ? 12 : h % 12;
  const char* ap = h < 12 ? "am" : "pm";
  char buf[32];
  switch (timeType) {
    case 1:
      snprintf(buf, sizeof buf, "%02d:%02d:%02d %s", h12, mi, s, ap);
      break;
    case 2:
      snprintf(buf, sizeof buf, "%02d:%02d %s", h12, mi, ap);
      break;
    case 4:
      snprintf(buf, sizeof buf, "%02d:%02d", h, mi);
      break;
    case 5:
      snprintf(buf, sizeof buf, "%02d%02d", h, mi);
      break;
    case 10:
    case 11:
      snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, mi, s, t);
      break;
    default:
      snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
      break;
  }
  return buf;
}

// ---- exact decimals -----------------------------------------------------------
// NUMBER and MONEY fields keep the decimal they are given, digit for digit.
// SQLite has no decimal type, so a value is stored as the exact INTEGER
// when it is whole and fits 64 bits, as a REAL when it has at most 15
// significant digits (a double holds those exactly as decimals, and the
// sqlite3 shell prints them back unchanged), and otherwise as its decimal
// text in a BLOB, which a NUMERIC column keeps as given (a TEXT would be
// turned into a rounded REAL).

bool isDecimal(const FieldDef& f) { return rlTypeClass(f.type) == RL_CLASS_DECIMAL; }

namespace {

constexpr size_t kMaxDecimalDigits = 400;  // a double written out whole has at most 309 integer digits

struct Decimal {
  bool negative = false;
  std::string whole;     // no leading zeros ("" for zero)
  std::string fraction;  // no trailing zeros
  size_t significant() const {
    if (!whole.empty()) return whole.size() + fraction.size();
    size_t first = fraction.find_first_not_of('0');
    return first == std::string::npos ? 0 : fraction.size() - first;
  }
  bool zero() const { return whole.empty() && fraction.empty(); }
};

// [blanks][+-]digits[.digits][(e|E)[+-]digits][blanks], at least one digit.
bool parseDecimal(std::string_view text, Decimal* out) {
  size_t b = 0, e = text.size();
  while (b < e && isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  std::string_view t = text.substr(b, e - b);
  size_t p = 0;
  Decimal d;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) d.negative = t[p++] == '-';
  std::string digits;
  size_t point = std::string::npos;
  for (; p < t.size(); ++p) {
    if (isdigit(static_cast<unsigned char>(t[p]))) {
      digits += t[p];
    } else if (t[p] == '.' && point == std::string::npos) {
      point = digits.size();
    } else {
      break;
    }
    if (digits.size() > kMaxDecimalDigits) return false;
  }
  if (digits.empty()) return false;
  long exponent = 0;
  if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
    ++p;
    bool negativeExponent = false;
    if (p < t.size() && (t[p] == '+' || t[p] == '-')) negativeExponent = t[p++] == '-';
    size_t start = p;
    for (; p < t.size() && isdigit(static_cast<unsigned char>(t[p])); ++p) {
      exponent = exponent * 10 + (t[p] - '0');
      if (exponent > long(kMaxDecimalDigits)) return false;
    }
    if (p == start) return false;
    if (negativeExponent) exponent = -exponent;
  }
  if (p != t.size()) return false;
  long wholeDigits = long(point == std::string::npos ? digits.size() : point) + exponent;
  if (wholeDigits > long(kMaxDecimalDigits) || wholeDigits < -long(kMaxDecimalDigits)) return false;
  if (wholeDigits < 0) {
    digits.insert(0, size_t(-wholeDigits), '0');
    wholeDigits = 0;
  }
  if (size_t(wholeDigits) > digits.size()) digits.append(size_t(wholeDigits) - digits.size(), '0');
  d.whole = digits.substr(0, size_t(wholeDigits));
  d.fraction = digits.substr(size_t(wholeDigits));
  d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  if (d.zero()) d.negative = false;
  *out = std::move(d);
  return true;
}

// Rounds half away from zero to `scale` fraction digits.
void roundTo(Decimal& d, size_t scale) {
  if (d.fraction.size() <= scale) return;
  bool up = d.fraction[scale] >= '5';
  d.fraction.resize(scale);
  if (up) {
    std::string digits = d.whole + d.fraction;
    size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0)
      digits.insert(0, 1, '1');
    else
      digits[i - 1]++;
    d.whole = digits.substr(0, digits.size() - scale);
    d.fraction = digits.substr(digits.size() - scale);
    d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
  }
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  if (d.zero()) d.negative = false;
}

std::string decimalText(const Decimal& d, size_t scale) {
  std::string text = d.negative ? "-" : "";
  text += d.whole.empty() ? "0" : d.whole;
  std::string fraction = d.fraction;
  if (fraction.size() < scale) fraction.append(scale - fraction.size(), '0');
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

// The decimal a stored value holds; false when it holds none.
bool storedDecimal(const Value& v, Decimal* out) {
  switch (v.kind) {
    case Value::Int:
      return parseDecimal(std::to_string(v.i), out);
    case Value::Real: {
      char buf[64];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.d);  // the shortest text that reads back as v.d
      return ec == std::errc() && parseDecimal(std::string_view(buf, size_t(end - buf)), out);
    }
    case Value::Text:
    case Value::Blob:
      return parseDecimal(v.s, out);
    default:
      return false;
  }
}

}  // namespace

// The field's decimal as it is stored: rounded to the declared scale, and
// refused when it has more digits than the declared precision.
static Value decimalValue(const FieldDef& f, Decimal d) {
  size_t scale = size_t(std::max(f.scale, 0));
  if (scale > 0) roundTo(d, scale);
  size_t digits = d.whole.size() + std::max(d.fraction.size(), scale);
  if (f.precision > 0 && digits > size_t(f.precision))
    fail(RL_BAD_VALUE, "Value " + decimalText(d, scale) + " has more than the " + std::to_string(f.precision) +
                           " digits of field [" + f.name + "]");
  if (d.fraction.empty() && d.whole.size() <= 18) {
    int64_t whole = 0;
    std::from_chars(d.whole.data(), d.whole.data() + d.whole.size(), whole);
    return Value::integer(d.negative ? -whole : whole);
  }
  std::string text = decimalText(d, 0);
  if (d.significant() <= 15) return Value::real(std::strtod(text.c_str(), nullptr));
  return Value::blob(text);
}

static Value decimalFromText(const FieldDef& f, std::string_view text) {
  Decimal d;
  if (!parseDecimal(text, &d))
    fail(RL_BAD_VALUE, "Text [" + std::string(text.substr(0, 64)) + "] is not a number for field [" + f.name + "]");
  return decimalValue(f, std::move(d));
}

// A stored value as SQLite reads it back from SQL text, exactly.
static std::string sqlLiteral(const Value& v) {
  switch (v.kind) {
    case Value::Int:
      return std::to_string(v.i);
    case Value::Real: {
      char buf[64];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.d);  // the shortest text that reads back as v.d
      std::string text(buf, ec == std::errc() ? size_t(end - buf) : 0);
      // SQLite reads digits without a point or an exponent as an integer.
      if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
      return text;
    }
    case Value::Text:
    case Value::Blob: {
      static const char kHex[] = "0123456789ABCDEF";
      std::string text = v.kind == Value::Blob ? "X'" : "CAST(X'";
      for (unsigned char c : v.s) text += {kHex[c >> 4], kHex[c & 15]};
      return text + (v.kind == Value::Blob ? "'" : "' AS TEXT)");
    }
    default:
      return "NULL";
  }
}

static std::string decimalString(const FieldDef& f, const Value& v) {
  Decimal d;
  if (!storedDecimal(v, &d)) return v.s;  // something another program stored: shown as it is
  size_t scale = size_t(std::max(f.scale, 0));
  if (scale > 0) roundTo(d, scale);
  return decimalText(d, scale);
}

// ---- field kinds ----------------------------------------------------------

Sem semOf(const FieldDef& f) {
  switch (rlTypeClass(f.type, f.binaryFlag)) {
    case RL_CLASS_BIT:
      return Sem::Bit;
    case RL_CLASS_INTEGER:
      return Sem::Int;
    case RL_CLASS_DECIMAL:
      return Sem::Real;
    case RL_CLASS_FLOAT:
      // The alternative double code is kept as text, as it always was here.
      return f.type == RL_TYPE_DOUBLE_ALT ? Sem::Text : Sem::Real;
    case RL_CLASS_DATE:
      return Sem::Date;
    case RL_CLASS_TIME:
      return Sem::Time;
    case RL_CLASS_TIMESTAMP:
      return Sem::Timestamp;
    case RL_CLASS_BINARY:
      return Sem::Binary;
    default:
      return Sem::Text;  // character types, JSON and codes we do not know
  }
}

bool storesText(const FieldDef& f) { return semOf(f) == Sem::Text; }

ZVDateTime parseDateTimeText(int type, const char* text, int dateType, int timeType) {
  if (dateType < 0 || dateType > 6 || timeType < 0 || (timeType > 5 && timeType != 10 && timeType != 11))
    fail(RL_BAD_ARGUMENT, "Unknown date or time type");
  FieldDef f;
  f.name = "value";
  f.type = type;
  Value v = fromString(f, text, dateType ? dateType : 1, timeType ? timeType : 3);
  if (v.isNull()) fail(RL_BAD_VALUE, "No date or time in the text");
  return toDateTime(f, v);
}

const char* declaredType(const FieldDef& f, bool identity) {
  if (identity) return "INTEGER";
  if (const char* scalar = rlScalarTypeName(f.type)) return scalar;
  switch (f.type) {
    case RL_TYPE_MONEY4:
    case RL_TYPE_NUMBER:
      return "NUMERIC";
    case RL_TYPE_MONEY:
      return "MONEY";
    case RL_TYPE_CHAR:
    case RL_TYPE_CHAR1:
    case RL_TYPE_CHAR4:
      return "CHAR";
    case RL_TYPE_VARCHAR_FIXED:
    case RL_TYPE_VARCHAR1:
      return "VARCHAR";
    case RL_TYPE_JSON:
      return "TEXT";
    default:
      break;
  }
  // Binary-family and unknown codes: BLOB affinity keeps every value as given.
  return semOf(f) == Sem::Text ? "TEXT" : "BLOB";
}

// Integer ranges. A signed field holds its width's signed range: every reader
// of the SQL client reads a TINYINT, SMALLINT or INTEGER as a signed number of
// that width, so a value past it could never be read back as written. An
// unsigned field takes both forms of its width, since the setters of the
// class interface hand it its bit pattern as a signed number.
static void checkIntRange(const FieldDef& f, int64_t v) {
  int64_t lo = INT64_MIN, hi = INT64_MAX;
  switch (f.type) {
    case RL_TYPE_BIT:
      lo = 0, hi = 1;
      break;
    case RL_TYPE_TINYINT:
      lo = INT8_MIN, hi = INT8_MAX;
      break;
    case RL_TYPE_UTINYINT:
      lo = INT8_MIN, hi = UINT8_MAX;
      break;
    case RL_TYPE_SMALLINT:
      lo = INT16_MIN, hi = INT16_MAX;
      break;
    case RL_TYPE_USMALLINT:
      lo = INT16_MIN, hi = UINT16_MAX;
      break;
    case RL_TYPE_INTEGER:
      lo = INT32_MIN, hi = INT32_MAX;
      break;
    case RL_TYPE_UINTEGER:
      lo = INT32_MIN, hi = UINT32_MAX;
      break;
    default:
      break;
  }
  if (v < lo || v > hi)
    fail(RL_BAD_VALUE, "Value " + std::to_string(v) + " is out of range for field [" + f.name + "]");
}

int lengthPrefix(int type) { return rlLengthPrefix(type); }

size_t contentLimit(const FieldDef& f) {
  Sem sem = semOf(f);
  if ((sem != Sem::Text && sem != Sem::Binary) || holdsJson(f)) return 0;
  int prefix = lengthPrefix(f.type);
  if (f.length > prefix) return size_t(f.length - prefix);
  // No declared length: what the prefix can count (a long type's four
  // bytes count more than a value can hold).
  if (prefix == 1) return 255;
  if (prefix == 2) return 65535;
  return 0;
}

static void checkLength(const FieldDef& f, size_t size) {
  size_t limit = contentLimit(f);
  if (limit > 0 && size > limit)
    fail(RL_VALUE_TOO_LONG, "Value of " + std::to_string(size) + " bytes is longer than field [" + f.name + "] (" +
                                std::to_string(limit) + ")");
}

// Whether text is one JSON value (SQLite's own reading of JSON, as the
// engine's keys inside JSON fields use it).
static bool isJsonText(std::string_view text) {
  struct Checker {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    Checker() {
      if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK)
        sqlite3_prepare_v2(db, "SELECT json_valid(?1)", -1, &st, nullptr);
    }
    ~Checker() {
      sqlite3_finalize(st);
      sqlite3_close_v2(db);
    }
  };
  thread_local Checker checker;
  if (!checker.st) fail(RL_STORAGE_ERROR, "JSON cannot be checked");
  sqlite3_bind_text(checker.st, 1, text.data(), int(text.size()), SQLITE_STATIC);
  bool valid = sqlite3_step(checker.st) == SQLITE_ROW && sqlite3_column_int(checker.st, 0) == 1;
  sqlite3_reset(checker.st);
  sqlite3_clear_bindings(checker.st);
  return valid;
}

static bool parseInt(const std::string& t, int64_t* out) {
  std::string s = trim(t);
  if (s.empty()) return false;
  const char* b = s.c_str();
  if (*b == '+') ++b;
  auto [p, ec] = std::from_chars(b, s.c_str() + s.size(), *out);
  return ec == std::errc() && p == s.c_str() + s.size();
}

static bool parseReal(const std::string& t, double* out) {
  std::string s = trim(t);
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && errno == 0 && std::isfinite(*out);
}

Value fromSigned(const FieldDef& f, int64_t v) {
  switch (semOf(f)) {
    case Sem::Bit:
      return Value::integer(v != 0);
    case Sem::Int:
      checkIntRange(f, v);
      return Value::integer(v);
    case Sem::Real:
      if (isDecimal(f)) return decimalFromText(f, std::to_string(v));
      return Value::real(double(v));
    case Sem::Text: {
      std::string s = std::to_string(v);
      checkLength(f, s.size());
      return Value::text(s);
    }
    default:
      fail(RL_BAD_VALUE, "Field [" + f.name + "] does not take a number");
  }
}

Value fromFloat(const FieldDef& f, double v) {
  if (!std::isfinite(v)) fail(RL_BAD_VALUE, "Field [" + f.name + "] does not take an infinite number");
  switch (semOf(f)) {
    case Sem::Bit:
      return Value::integer(v != 0);
    case Sem::Int: {
      if (v < -9.2e18 || v > 9.2e18) fail(RL_BAD_VALUE, "Value is out of range for field [" + f.name + "]");
      int64_t i = int64_t(std::llround(v));
      checkIntRange(f, i);
      return Value::integer(i);
    }
    case Sem::Real:
      if (isDecimal(f)) {
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);  // the shortest text of v: no noise digits
        return decimalFromText(f, std::string_view(buf, size_t(end - buf)));
      }
      return Value::real(v);
    case Sem::Text: {
      char buf[64];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
      std::string s(buf, p);
      checkLength(f, s.size());
      return Value::text(s);
    }
    default:
      fail(RL_BAD_VALUE, "Field [" + f.name + "] does not take a number");
  }
}

Value fromBytes(const FieldDef& f, const void* data, size_t size) {
  if (holdsJson(f)) return fromText(f, std::string_view(static_cast<const char*>(data), data ? size : 0), 1, 3);
  std::string bytes(static_cast<const char*>(data), data ? size : 0);
  Sem sem = semOf(f);
  if (sem == Sem::Binary) {
    checkLength(f, bytes.size());
    return Value::blob(std::move(bytes));
  }
  if (sem == Sem::Text) {
    checkLength(f, bytes.size());
    return Value::text(std::move(bytes));
  }
  fail(RL_BAD_VALUE, "Field [" + f.name + "] does not take binary data");
}

Value fromDateTime(const FieldDef& f, const ZVDateTime& v) {
  switch (semOf(f)) {
    case Sem::Date:
      return Value::text(isoDate(v.GetDate()));
    case Sem::Time:
      return Value::text(isoTime(v.GetMilliseconds()));
    case Sem::Timestamp:
      return Value::text(isoDateTime(v));
    case Sem::Text: {
      std::string s = isoDateTime(v);
      checkLength(f, s.size());
      return Value::text(s);
    }
    default:
      fail(RL_BAD_VALUE, "Field [" + f.name + "] does not take a date and time");
  }
}

Value fromString(const FieldDef& f, const char* text, int dateType, int timeType) {
  return fromText(f, text ? std::string_view(text) : std::string_view(), dateType, timeType);
}

Value fromText(const FieldDef& f, std::string_view text, int dateType, int timeType) {
  Sem sem = semOf(f);
  if (sem == Sem::Binary) return fromBytes(f, text.data(), text.size());
  if (textHasNul(text))
    fail(RL_BAD_VALUE, "Text for field [" + f.name + "] holds a NUL byte; only binary fields keep one");
  std::string t(text);
  if (holdsJson(f)) {
    if (trim(t).empty()) return Value();
    if (text.size() > size_t(INT32_MAX) || !isJsonText(text))
      fail(RL_BAD_VALUE, "Text [" + t.substr(0, 64) + "] is not JSON; field [" + f.name + "] holds JSON only");
    return Value::text(std::move(t));
  }
  if (sem == Sem::Text) return fromBytes(f, t.data(), t.size());
  if (trim(t).empty()) return Value();
  switch (sem) {
    case Sem::Bit: {
      std::string l = trim(t);
      for (auto& c : l) c = char(tolower(static_cast<unsigned char>(c)));
      if (l == "1" || l == "true" || l == "t" || l == "yes" || l == "y") return Value::integer(1);
      if (l == "0" || l == "false" || l == "f" || l == "no" || l == "n") return Value::integer(0);
      break;
    }
    case Sem::Int: {
      int64_t v;
      if (parseInt(t, &v)) return fromSigned(f, v);
      break;
    }
    case Sem::Real: {
      if (isDecimal(f)) return decimalFromText(f, t);
      double v;
      if (parseReal(t, &v)) return Value::real(v);
      break;
    }
    case Sem::Date: {
      int32_t day;
      ZVDateTime iso;
      if (parseIso(trim(t), &iso) && iso.GetDate() != 0) return Value::text(isoDate(iso.GetDate()));
      if (parseDateRuns(digitRuns(t), dateType, &day)) return Value::text(isoDate(day));
      break;
    }
    case Sem::Time: {
      int32_t ms;
      if (parseTimeRuns(digitRuns(t), timeType, &ms)) return Value::text(isoTime(ms));
      break;
    }
    case Sem::Timestamp: {
      std::string s = trim(t);
      ZVDateTime iso;
      if (parseIso(s, &iso) && iso.GetDate() != 0) return Value::text(isoDateTime(iso));
      size_t cut = s.find_first_of(" T");
      int32_t day, ms = 0;
      if (parseDateRuns(digitRuns(s.substr(0, cut)), dateType, &day) &&
          (cut == std::string::npos || parseTimeRuns(digitRuns(s.substr(cut + 1)), timeType, &ms)))
        return Value::text(isoDateTime(ZVDateTime(day, ms)));
      break;
    }
    default:
      break;
  }
  fail(RL_BAD_VALUE, "Text [" + t.substr(0, 64) + "] is not a valid value for field [" + f.name + "]");
}

std::string toString(const FieldDef& f, const Value& v, int dateType, int timeType) {
  if (isDecimal(f) && !v.isNull()) return decimalString(f, v);
  switch (v.kind) {
    case Value::Null:
      return "";
    case Value::Int:
      return std::to_string(v.i);
    case Value::Real: {
      char buf[64];
      if (f.scale > 0 && isDecimal(f)) {
        // Fixed notation of a large amount runs past any small buffer
        // (1e300 has 301 digits): sized first, never cut.
        int scale = f.scale > 30 ? 30 : f.scale;
        int length = snprintf(nullptr, 0, "%.*f", scale, v.d);
        if (length < 0) fail(RL_BAD_VALUE, "Field [" + f.name + "] holds a number that cannot be written");
        std::string text(size_t(length), '\0');
        snprintf(text.data(), text.size() + 1, "%.*f", scale, v.d);
        return text;
      }
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v.d);
      return std::string(buf, p);
    }
    case Value::Text: {
      Sem sem = semOf(f);
      if (sem == Sem::Date || sem == Sem::Time || sem == Sem::Timestamp) {
        ZVDateTime dt;
        if (!parseIso(v.s, &dt)) return v.s;
        if (sem == Sem::Date) return formatDate(dt.GetDate(), dateType);
        if (sem == Sem::Time) return formatTime(dt.GetMilliseconds(), timeType);
        return formatDate(dt.GetDate(), dateType) + " " + formatTime(dt.GetMilliseconds(), timeType);
      }
      return v.s;
    }
    case Value::Blob:
      return v.s;
  }
  return "";
}

// A double truncated to an integer, only where one holds it: the bare cast
// beyond 64 bits is undefined and gave an unrelated number.
static int64_t truncated(const FieldDef& f, double d) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
    fail(RL_BAD_VALUE, "Field [" + f.name + "] holds a number beyond 64 bits");
  return int64_t(d);
}

int64_t toInteger(const FieldDef& f, const Value& v) {
  switch (v.kind) {
    case Value::Null:
      return 0;
    case Value::Int:
      return v.i;
    case Value::Real:
      return truncated(f, v.d);
    case Value::Blob:
      if (!isDecimal(f)) break;
      [[fallthrough]];
    case Value::Text: {
      int64_t i;
      if (parseInt(v.s, &i)) return i;
      double d;
      if (parseReal(v.s, &d)) return truncated(f, d);
      break;
    }
    default:
      break;
  }
  fail(RL_BAD_VALUE, "Field [" + f.name + "] does not hold a number");
}

double toFloat(const FieldDef& f, const Value& v) {
  switch (v.kind) {
    case Value::Null:
      return 0;
    case Value::Int:
      return double(v.i);
    case Value::Real:
      return v.d;
    case Value::Blob:
      if (!isDecimal(f)) break;
      [[fallthrough]];
    case Value::Text: {
      double d;
      if (parseReal(v.s, &d)) return d;
      break;
    }
    default:
      break;
  }
  fail(RL_BAD_VALUE, "Field [" + f.name + "] does not hold a number");
}

ZVDateTime toDateTime(const FieldDef& f, const Value& v) {
  if (v.kind == Value::Null) return ZVDateTime();
  ZVDateTime dt;
  if (v.kind == Value::Text && parseIso(v.s, &dt)) return dt;
  fail(RL_BAD_VALUE, "Field [" + f.name + "] does not hold a date or time");
}

Value convertValue(const FieldDef& from, const Value& v, const FieldDef& to) {
  if (v.isNull()) return v;
  Sem a = semOf(from), b = semOf(to);
  auto refuse = [&]() {
    fail(RL_BAD_VALUE, "Field [" + from.name + "] holds a value that does not convert to its new type without loss");
  };
  bool aBytes = a == Sem::Text || a == Sem::Binary, bBytes = b == Sem::Text || b == Sem::Binary;
  if (aBytes && bBytes && !holdsJson(to)) {
    if (v.kind != Value::Text && v.kind != Value::Blob) return fromText(to, toString(from, v, 1, 3), 1, 3);
    if (b == Sem::Text && textHasNul(v.s)) refuse();
    return fromBytes(to, v.s.data(), v.s.size());
  }
  Value out = fromText(to, toString(from, v, 1, 3), 1, 3);
  // Numbers must keep their value: a fraction cut or rounded away is refused.
  bool aNumber = a == Sem::Bit || a == Sem::Int || a == Sem::Real,
       bNumber = b == Sem::Bit || b == Sem::Int || b == Sem::Real;
  if (aNumber && bNumber) {
    Decimal before, after;
    if (!storedDecimal(v, &before) || !storedDecimal(out, &after) || before.negative != after.negative ||
        before.whole != after.whole || before.fraction != after.fraction)
      refuse();
  }
  return out;
}

bool sameValue(const Value& a, const Value& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Value::Null:
      return true;
    case Value::Int:
      return a.i == b.i;
    case Value::Real:
      return a.d == b.d;
    default:
      return a.s == b.s;
  }
}

// ---- partition rules --------------------------------------------------------

static const char* kRuleFunctions[] = {"YEAR", "MONTH",  "DAY",    "DAYOFMONTH", "DAYOFYEAR",
                                       "HOUR", "MINUTE", "SECOND", "DAYOFWEEK"};

static void skipBlanks(const std::string& t, size_t& p) {
  while (p < t.size() && isspace(static_cast<unsigned char>(t[p]))) ++p;
}

// Parentheses and unary minus signs recurse without adding a node first, so
// the node limit alone does not bound the parser's stack.
constexpr int kMaxRuleDepth = 200;

void PartitionRule::parse(const std::string& text, const TableDef& def) {
  nodes_.clear();
  depth_ = 0;
  size_t p = 0;
  root_ = parseExpr(text, p, def);
  skipBlanks(text, p);
  if (p != text.size()) fail(RL_BAD_RULE, "Partition rule [" + text + "] has unexpected text at " + std::to_string(p));
}

int PartitionRule::parseExpr(const std::string& t, size_t& p, const TableDef& def) {
  int left = parseTerm(t, p, def);
  for (;;) {
    skipBlanks(t, p);
    if (p >= t.size() || (t[p] != '+' && t[p] != '-')) return left;
    char op = t[p++];
    int right = parseTerm(t, p, def);
    nodes_.push_back(Node{op, 0, 0, -1, left, right});
    left = int(nodes_.size()) - 1;
  }
}

int PartitionRule::parseTerm(const std::string& t, size_t& p, const TableDef& def) {
  int left = parseFactor(t, p, def);
  for (;;) {
    skipBlanks(t, p);
    if (p >= t.size() || (t[p] != '*' && t[p] != '/' && t[p] != '%')) return left;
    char op = t[p++];
    int right = parseFactor(t, p, def);
    nodes_.push_back(Node{op, 0, 0, -1, left, right});
    left = int(nodes_.size()) - 1;
  }
}

int PartitionRule::parseFactor(const std::string& t, size_t& p, const TableDef& def) {
  skipBlanks(t, p);
  if (p >= t.size()) fail(RL_BAD_RULE, "Partition rule [" + t + "] ends too early");
  if (nodes_.size() > 1000) fail(RL_BAD_RULE, "Partition rule is too long");
  char c = t[p];
  if ((c == '(' || c == '-') && depth_ >= kMaxRuleDepth) fail(RL_BAD_RULE, "Partition rule is nested too deeply");
  if (c == '(') {
    ++p;
    ++depth_;
    int inner = parseExpr(t, p, def);
    --depth_;
    skipBlanks(t, p);
    if (p >= t.size() || t[p] != ')') fail(RL_BAD_RULE, "Partition rule [" + t + "] misses a ')'");
    ++p;
    return inner;
  }
  if (c == '-') {
    ++p;
    ++depth_;
    int operand = parseFactor(t, p, def);
    --depth_;
    nodes_.push_back(Node{'u', 0, 0, -1, operand, -1});
    return int(nodes_.size()) - 1;
  }
  if (isdigit(static_cast<unsigned char>(c))) {
    int64_t v = 0;
    while (p < t.size() && isdigit(static_cast<unsigned char>(t[p]))) {
      if (v > INT64_MAX / 10 - 10) fail(RL_BAD_RULE, "Partition rule number too large");
      v = v * 10 + (t[p++] - '0');
    }
    nodes_.push_back(Node{'n', v, 0, -1, -1, -1});
    return int(nodes_.size()) - 1;
  }
  size_t start = p;
  while (p < t.size() && (isalnum(static_cast<unsigned char>(t[p])) || t[p] == '_')) ++p;
  std::string word = t.substr(start, p - start);
  int function = -1;
  for (size_t i = 0; i < sizeof kRuleFunctions / sizeof *kRuleFunctions; ++i)
    if (strcasecmp(word.c_str(), kRuleFunctions[i]) == 0) function = int(i);
  if (function < 0) fail(RL_BAD_RULE, "Partition rule [" + t + "] uses an unknown function [" + word + "]");
  skipBlanks(t, p);
  if (p >= t.size() || t[p] != '(') fail(RL_BAD_RULE, "Partition rule [" + t + "] misses a '(' after " + word);
  ++p;
  skipBlanks(t, p);
  start = p;
  while (p < t.size() && t[p] != ')') ++p;
  if (p >= t.size()) fail(RL_BAD_RULE, "Partition rule [" + t + "] misses a ')'");
  std::string fieldName = trim(t.substr(start, p - start));
  ++p;
  int field = def.fieldNumber(fieldName);
  if (field < 0) fail(RL_BAD_RULE, "Partition rule names an unknown field [" + fieldName + "]");
  Sem sem = semOf(def.fields[field]);
  if (sem != Sem::Date && sem != Sem::Timestamp)
    fail(RL_BAD_RULE, "Partition rule field [" + fieldName + "] is not a date or time stamp");
  nodes_.push_back(Node{'f', 0, function, field, -1, -1});
  return int(nodes_.size()) - 1;
}

int64_t PartitionRule::eval(int node, const std::vector<Value>& row, const TableDef& def) const {
  const Node& n = nodes_[node];
  // Row values decide the operands: a result beyond 64 bits refuses the row
  // (signed overflow is undefined, and INT64_MIN / -1 traps).
  auto overflow = [] { fail(RL_BAD_VALUE, "Partition rule result is out of range for this record"); };
  switch (n.op) {
    case 'n':
      return n.number;
    case 'u': {
      int64_t operand = eval(n.left, row, def);
      if (operand == INT64_MIN) overflow();
      return -operand;
    }
    case 'f': {
      const Value& v = row[n.field];
      if (v.isNull()) fail(RL_BAD_VALUE, "Partition field [" + def.fields[n.field].name + "] is null");
      ZVDateTime dt = toDateTime(def.fields[n.field], v);
      switch (n.function) {
        case 0:
          return dt.GetYear();
        case 1:
          return dt.GetMonth();
        case 2:
        case 3:
          return dt.GetDay();
        case 4:
          return dt.GetDayOfYear();
        case 5:
          return dt.GetHour();
        case 6:
          return dt.GetMinute();
        case 7:
          return dt.GetSecond();
        default:
          return (dt.GetDate() + 1) % 7 + 1;  // 1 = Sunday
      }
    }
    default:
      break;
  }
  int64_t a = eval(n.left, row, def), b = eval(n.right, row, def);
  int64_t result = 0;
  switch (n.op) {
    case '+':
      if (__builtin_add_overflow(a, b, &result)) overflow();
      return result;
    case '-':
      if (__builtin_sub_overflow(a, b, &result)) overflow();
      return result;
    case '*':
      if (__builtin_mul_overflow(a, b, &result)) overflow();
      return result;
    default:
      if (b == 0) fail(RL_BAD_RULE, "Partition rule divides by zero");
      if (a == INT64_MIN && b == -1) overflow();
      return n.op == '/' ? a / b : a % b;
  }
}

int64_t PartitionRule::evaluate(const std::vector<Value>& row, const TableDef& def) const {
  if (root_ < 0) fail(RL_NOT_PARTITIONED, "The table has no partition rule");
  return eval(root_, row, def);
}

}  // namespace ravlink_detail

// ---- value classes ------------------------------------------------------------

ZVDate ZVDate::Pack(int year, int month, int day) {
  if (!validDate(year, month, day)) fail(RL_BAD_VALUE, "Invalid date");
  return ZVDate(packDay(year, month, day));
}

void ZVDate::Unpack(int* year, int* month, int* day) const { unpackDay(day_, year, month, day); }

std::string ZVDate::DateToString(int dateType) const { return formatDate(day_, dateType); }

ZVTime ZVTime::Pack(int hour, int minute, int second, int millisecond) {
  if (!validTime(hour, minute, second, millisecond)) fail(RL_BAD_VALUE, "Invalid time");
  return ZVTime(((hour * 60 + minute) * 60 + second) * 1000 + millisecond);
}

std::string ZVTime::TimeToString(int timeType) const { return formatTime(ms_, timeType); }

ZVDateTime ZVDateTime::CurrentDateTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t secs = ts.tv_sec;
  int32_t day = int32_t(2440588 + secs / 86400);
  int32_t ms = int32_t((secs % 86400) * 1000 + ts.tv_nsec / 1000000);
  return ZVDateTime(day, ms);
}

void ZVDateTime::Pack(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  if (!validDate(year, month, day) || !validTime(hour, minute, second, millisecond))
    fail(RL_BAD_VALUE, "Invalid date and time");
  day_ = packDay(year, month, day);
  ms_ = ((hour * 60 + minute) * 60 + second) * 1000 + millisecond;
}

void ZVDateTime::SetDateTime(int32_t day, int32_t secondsOfDay) {
  // Seconds outside one day move the date, so callers may subtract freely.
  int64_t s = secondsOfDay;
  int64_t d = day + (s >= 0 ? s / 86400 : -((-s + 86399) / 86400));
  s -= (d - day) * 86400;
  day_ = int32_t(d);
  ms_ = int32_t(s * 1000);
}

int ZVDateTime::GetYear() const {
  int y, m, d;
  unpackDay(day_, &y, &m, &d);
  return y;
}
int ZVDateTime::GetMonth() const {
  int y, m, d;
  unpackDay(day_, &y, &m, &d);
  return m;
}
int ZVDateTime::GetDay() const {
  int y, m, d;
  unpackDay(day_, &y, &m, &d);
  return d;
}
int ZVDateTime::GetDayOfYear() const { return day_ - packDay(GetYear(), 1, 1) + 1; }

std::string ZVDateTime::DateTimeToString(int dateType, int timeType) const {
  return formatDate(day_, dateType) + " " + formatTime(ms_, timeType);
}

extern "C" RAVLINK_API int rlFieldLengthPrefix(int type) { return ravlink_detail::lengthPrefix(type); }

// ---- values SQL writes ----------------------------------------------------------

namespace {

// The field of a catalog row. Its name serves a message only, so a value is
// converted without it and, when refused, once more with it.
FieldDef sqlField(int type, int length, int binaryFlag, int scaleWord, const char* name) {
  FieldDef f;
  f.type = type;
  f.length = length;
  f.binaryFlag = binaryFlag;
  setScaleWord(f, scaleWord);
  if (name) f.name = name;
  return f;
}

std::string_view bytesOf(const rlSqlValue& v) { return v.bytes ? std::string_view(v.bytes, v.size) : std::string_view(); }

// Whether the engine stores the value as SQLite holds it; throws when the
// field refuses it. The common cases end here, without building a value.
bool keptAsItCame(const FieldDef& f, const rlSqlValue& v) {
  if (v.kind == SQLITE_NULL) return true;
  Sem sem = semOf(f);
  if (sem == Sem::Int && v.kind == SQLITE_INTEGER) {
    checkIntRange(f, v.integer);
    return true;
  }
  if (sem == Sem::Text && v.kind == SQLITE_TEXT && !holdsJson(f) && !textHasNul(bytesOf(v))) {
    checkLength(f, v.size);
    return true;
  }
  return false;
}

// What the engine's writers make of a value SQLite holds: a number as a
// number, a text as a text, bytes as bytes.
Value storedFromSql(const FieldDef& f, const rlSqlValue& v) {
  std::string_view bytes = bytesOf(v);
  switch (v.kind) {
    case SQLITE_INTEGER:
      return fromSigned(f, v.integer);
    case SQLITE_FLOAT: {
      Sem sem = semOf(f);
      if (sem != Sem::Int && sem != Sem::Bit) return fromFloat(f, v.real);
      // Read as its shortest text, as a text of it would be: a whole number
      // goes in, a fraction is refused rather than rounded away.
      char buf[64];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.real);
      return fromText(f, std::string_view(buf, ec == std::errc() ? size_t(end - buf) : 0), f.dateType, f.timeType);
    }
    case SQLITE_TEXT:
      return fromText(f, bytes, f.dateType, f.timeType);
    case SQLITE_BLOB:
      // A decimal read back from a field of the engine's may be its text in a blob.
      if (isDecimal(f)) return fromText(f, bytes, f.dateType, f.timeType);
      return fromBytes(f, bytes.data(), bytes.size());
    default:
      return Value();
  }
}

// Runs convert on the field; a refusal's message, with the field's name, goes to out.
template <class Convert>
int onSqlField(int type, int length, int binaryFlag, int scaleWord, const char* name, char* out, int outSize,
               Convert&& convert) {
  if (!out || outSize < 1) return RL_BAD_ARGUMENT;
  try {
    return convert(sqlField(type, length, binaryFlag, scaleWord, nullptr));
  } catch (const ZVException&) {
  }
  try {
    return convert(sqlField(type, length, binaryFlag, scaleWord, name));
  } catch (const ZVException& e) {
    copyOut(std::string(e.GetErrorMsg()).substr(0, size_t(outSize - 1)), out, outSize);
    return e.GetErrorCode();
  }
}

}  // namespace

extern "C" RAVLINK_API int rlSqlFieldValue(int type, int length, int binaryFlag, int scaleWord, const char* fieldName,
                                           rlSqlValue* value, char* out, int outSize) {
  if (!value) return RL_BAD_ARGUMENT;
  return onSqlField(type, length, binaryFlag, scaleWord, fieldName, out, outSize, [&](const FieldDef& f) {
    if (keptAsItCame(f, *value)) return int(RL_OK);
    Value stored = storedFromSql(f, *value);
    switch (stored.kind) {
      case Value::Int:
        value->kind = SQLITE_INTEGER;
        value->integer = stored.i;
        return int(RL_OK);
      case Value::Real:
        value->kind = SQLITE_FLOAT;
        value->real = stored.d;
        return int(RL_OK);
      case Value::Text:
      case Value::Blob: {
        bool same = (value->kind == SQLITE_TEXT || value->kind == SQLITE_BLOB) && bytesOf(*value) == stored.s;
        if (!same && copyOut(stored.s, out, outSize) != RL_OK) fail(RL_VALUE_TOO_LONG, "The value is too long");
        if (!same) value->bytes = out;
        value->kind = stored.kind == Value::Text ? SQLITE_TEXT : SQLITE_BLOB;
        value->size = stored.s.size();
        return int(RL_OK);
      }
      default:
        value->kind = SQLITE_NULL;
        return int(RL_OK);
    }
  });
}

extern "C" RAVLINK_API int rlSqlFieldLiteral(int type, int length, int binaryFlag, int scaleWord, const char* fieldName,
                                             const rlSqlValue* value, char* out, int outSize) {
  if (!value) return RL_BAD_ARGUMENT;
  return onSqlField(type, length, binaryFlag, scaleWord, fieldName, out, outSize, [&](const FieldDef& f) {
    if (keptAsItCame(f, *value)) return copyOut("", out, outSize);
    if (copyOut(sqlLiteral(storedFromSql(f, *value)), out, outSize) != RL_OK)
      fail(RL_VALUE_TOO_LONG, "The value is too long");
    return int(RL_OK);
  });
}

extern "C" RAVLINK_API const char* rlScalarTypeName(int type) {
  switch (type) {
    case RL_TYPE_BIT:
      return "BIT";
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
      return "TINYINT";
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
      return "SMALLINT";
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
      return "INTEGER";
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      return "BIGINT";
    case RL_TYPE_REAL:
      return "REAL";
    case RL_TYPE_DOUBLE:
      return "DOUBLE";
    case RL_TYPE_DATE:
      return "DATE";
    case RL_TYPE_TIME4:
    case RL_TYPE_TIME:
      return "TIME";
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_TIMESTAMP:
      return "TIMESTAMP";
    default:
      return nullptr;
  }
}
