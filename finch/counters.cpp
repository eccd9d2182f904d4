// The counter emitter: rows, pairs and the tree of gauge counters, in the
// value formats the browser shows.
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

const char* const kCategories[] = {"",
                                   "Read / Write",
                                   "Locks",
                                   "Miscellaneous",
                                   "Logs",
                                   "Data / Index",
                                   "Transactions",
                                   "Non Transactions",
                                   "Sync / Flush",
                                   "Isam Operations",
                                   "Memory",
                                   "Internal",
                                   "Sql Cache",
                                   "Dynamic System Resources",
                                   "Server Implementations",
                                   "Static Compile-Time Values",
                                   "Client and Server Versions",
                                   "Configuration Bitmaps",
                                   "Feature Bitmaps",
                                   "Cache and Buffer Statistics",
                                   "Version Information",
                                   "Broadcast",
                                   "Cache",
                                   "Connections",
                                   "File Operations"};
constexpr int kCategoryCount = sizeof kCategories / sizeof kCategories[0];

const char* const kTypeNames[] = {"CHAR",       "UNKNOWN", "INTDEC",        "INTHEX",        "INTHEX_NO_PREFIX",
                                  "UNKNOWN",    "DATE",    "ELAP_TIME_DAY", "ELAP_TIME_SEC", "ELAP_TIME_MSEC",
                                  "VERSION_ID", "PORT_ID", "IP_ADDRESS",    "IP6_ADDRESS",   "VERSIONID_BASE",
                                  "VERSION_ID2"};

const char* const kUnitSuffix[] = {" (M d,Y H:m:s)", " (d - H : m : s)", " (H : m : s . mSec)", " (mS . uS)"};

struct PortName {
  uint32_t id;
  const char* name;
};
const PortName kPorts[] = {
    {0x11222211, "zvPort88OPEN"},
    {0x11333311, "zvPortATTUNIX386"},
    {0x11444411, "zvPortVINES"},
    {0x11555511, "zvPortCHORUS"},
    {0x11666611, "zvPortOS2_2x"},
    {0x11777711, "zvPortALPHA"},
    {0x11888811, "zvPortHP9000"},
    {0x11999911, "zvPortINTERACTIVE"},
    {0x11AAAA11, "zvPortLYNXOS386"},
    {0x11BBBB11, "zvPortAPPLEAUX"},
    {0x11CCCC11, "zvPortNECEWS4800"},
    {0x11DDDD11, "zvPortWNT386"},
    {0x11EEEE11, "zvPortQNX"},
    {0x11FFFF11, "zvPortRS6000"},
    {0x22111122, "zvPortQNXRTP"},
    {0x22333322, "zvPortOS2_1x"},
    {0x22444422, "zvPortSCO386"},
    {0x22555522, "zvPortMSDOS"},
    {0x22666622, "zvPortSUN41"},
    {0x22777722, "zvPortMSWINDOWS"},
    {0x22888822, "zvPortSOLARIS"},
    {0x22999922, "zvPortNLM"},
    {0x22AAAA22, "zvPortMIPSABI"},
    {0x22BBBB22, "zvPortAPPLE7"},
    {0x22CCCC22, "zvPortWIN95"},
    {0x22DDDD22, "zvPortLINUX"},
    {0x22EEEE22, "zvPortSYSMAN"},
    {0x22FFFF22, "zvPortWNTALPHA"},
    {0x33111133, "zvPortWNTMIPS"},
    {0x33222233, "zvPortSOL386"},
    {0x33333333, "zvPortWindowsNT_PowerPC"},
    {0x33444433, "zvPortSolarisPowerPC"},
    {0x33555533, "zvPort386BSD"},
    {0x33666633, "zvPortSGI"},
    {0x33777733, "zvPortSPARC_LINUX"},
    {0x33888833, "zvPortMACOSX"},
    {0x33999933, "zvPortMACLNX"},
    {0x33AAAA33, "zvPortNETBSD386"},
    {0x33BBBB33, "zvPortDGU386"},
    {0x33CCCC33, "zvPortWINCE"},
};

const char* categoryName(int category) {
  return category >= 0 && category < kCategoryCount ? kCategories[category] : "";
}

const char* typeName(int format) { return format >= 0 && format <= kVersionId2 ? kTypeNames[format] : "UNKNOWN"; }

bool reversedFormat(int format) {
  return format == kIntDec || format == kIntHex || format == kIntHexNoPrefix || format == kBits ||
         (format >= kDate && format <= kVersionId) || format == kVersionId2;
}

std::string elapsedText(const CounterContext& c, int format, int64_t v) {
  int64_t d = c.ticksPerSecond != 0 ? c.ticksPerSecond : 1;
  int64_t q = v / d, r = v % d;
  int ms = int(r * 1000 / d);
  int32_t seconds = int32_t(q);
  int days = seconds / 86400, rest = seconds % 86400;
  int hours = rest / 3600;
  rest %= 3600;
  int minutes = rest / 60, secs = rest % 60;
  char text[64];
  if (format == kElapsedDay)
    snprintf(text, sizeof text, "%d - %02d : %02d : %02d", days, hours, minutes, secs);
  else if (format == kElapsedSec)
    snprintf(text, sizeof text, "%02d : %02d : %02d . %03d", hours, minutes, secs, ms);
  else
    snprintf(text, sizeof text, "%02d . %03d", secs, ms);
  return text;
}

std::string versionText(uint32_t u) {
  char text[64] = "";
  if (u > 0xC0000000)
    snprintf(text, sizeof text, "V%d.%d.%d", ((u >> 25) & 0x1F) + 10, (u >> 20) & 0x1F, u & 0xFFFFF);
  else if (u > 0xA9000000)
    snprintf(text, sizeof text, "V%x.%x.%x", (u >> 24) - 0xA0, (u >> 20) & 0x1F, u & 0xFFFFF);
  else if (u > 0xA0000000)
    snprintf(text, sizeof text, "V%x.%x.%x", (u >> 24) - 0xA0, (u >> 12) & 0xFFF, u & 0xFFF);
  return text;
}

// The JSON form of a value: an integer for the decimal formats, else a text.
json_object* valueOf(CounterContext& c, int format, int width, int64_t value) {
  if (format == kIntDec || format == kVersionBase || format > kVersionId2) {
    int64_t v = format == kIntDec ? flipCounterValue(c, value, width) : value;
    return zvJsonAllocBigint(v);
  }
  return zvJsonAllocString(formatValue(c, format, width, value).c_str());
}

}  // namespace

int64_t flipCounterValue(const CounterContext& c, int64_t value, int width) {
  if (!c.reverseBytes) return value;
  uint64_t u = uint64_t(value);
  if (width == kWidth4) {
    uint32_t low = __builtin_bswap32(uint32_t(u));
    return int64_t((u & 0xFFFFFFFF00000000ULL) | low);
  }
  if (width == kWidth8) return int64_t(__builtin_bswap64(u));
  return value;
}

std::string ipv4Text(uint32_t a) {
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d.%d", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, (a >> 24) & 0xFF);
  return text;
}

std::string ipv6Text(const unsigned char b[16]) {
  bool zero = true;
  for (int i = 0; i < 16; ++i) zero = zero && b[i] == 0;
  if (zero) return "-";
  std::string text;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    unsigned value = unsigned(b[2 * i]) << 8 | b[2 * i + 1];
    if (value == 0) {
      text += ":";
      continue;
    }
    snprintf(group, sizeof group, i == 0 ? "%04x" : ":%04x", value);
    text += group;
  }
  return text;
}

std::string localTimeText(int64_t seconds) {
  time_t t = time_t(seconds);
  tm local{};
  char text[50];
  if (!localtime_r(&t, &local) || strftime(text, sizeof text, "%b %d, %Y %X", &local) == 0) return "Invalid Time";
  return text;
}

std::string formatValue(CounterContext& c, int format, int width, int64_t value) {
  int64_t v = reversedFormat(format) ? flipCounterValue(c, value, width) : value;
  char text[64] = "";
  switch (format) {
    case kChar: {
      uint64_t u = uint64_t(value);
      std::string s;
      for (int i = 0; i < 8; ++i) {
        char ch = char((u >> (8 * i)) & 0xFF);
        if (!ch) break;
        s += ch;
      }
      return s;
    }
    case kYesNo:
      return value != 0 ? "Yes" : "No";
    case kIntHex:
      snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
      return text;
    case kIntHexNoPrefix:
      snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
      return text;
    case kBits: {
      std::string s = "0x";
      for (int bit = 7; bit >= 0; --bit) s += (v >> bit) & 1 ? '1' : '0';
      return s;
    }
    case kDate:
      return localTimeText(v);
    case kElapsedDay:
    case kElapsedSec:
    case kElapsedMsec:
      return elapsedText(c, format, v);
    case kVersionId:
      return versionText(uint32_t(v));
    case kPortId:
      for (const auto& p : kPorts)
        if (p.id == uint32_t(value)) return p.name;
      return "Unknown Port";
    case kIpAddress:
      return ipv4Text(uint32_t(value));
    case kVersionId2:
      snprintf(text, sizeof text, "Mini = %d - Build = %d", int(v & 0x7F), int(uint32_t(v) >> 7));
      return text;
    default:
      snprintf(text, sizeof text, "%" PRId64, v);
      return text;
  }
}

void addCounterRow(CounterContext& c, json_object* list, const char* name, int category, int width, int format,
                   const char* description, bool xSec, bool gauge, int64_t value) {
  if (c.mode == kRows || c.mode == kPairs) {
    json_object* row = zvJsonAlloc();
    zvJsonAddString(row, "Name", name);
    if (c.mode == kRows) {
      zvJsonAddString(row, "Category", categoryName(category));
      zvJsonAddString(row, "Type", typeName(format));
      if (format >= kDate && format <= kElapsedMsec)
        snprintf(c.text, sizeof c.text, "%s%s", description, kUnitSuffix[format - kDate]);
      else
        snprintf(c.text, sizeof c.text, "%s", description);
      zvJsonAddString(row, "Description", c.text);
      zvJsonAddBoolean(row, "xSec", xSec);
      zvJsonAddBoolean(row, "Gauge", gauge);
    }
    zvJsonAdd(row, "Value", valueOf(c, format, width, value));
    zvJsonArrayAdd(list, row);
    return;
  }
  if (c.mode != kTree || !gauge) return;
  const char* categoryText = categoryName(category);
  json_object* node = nullptr;
  for (int i = 0, n = zvJsonArrayLength(list); i < n && !node; ++i) {
    json_object* candidate = zvJsonArrayGetIdx(list, i);
    const char* text = nullptr;
    if (zvJsonGetStringByName(candidate, "text", &text) && text && strcmp(text, categoryText) == 0) node = candidate;
  }
  if (!node) {
    node = zvJsonAlloc();
    zvJsonAddBoolean(node, "expanded", false);
    zvJsonAddString(node, "text", categoryText);
    zvJsonArrayAdd(list, node);
  }
  json_object* children = nullptr;
  if (!zvJsonGetArrayByName(node, "children", &children)) {
    children = zvJsonAllocArray();
    zvJsonAdd(node, "children", children);
  }
  json_object* leaf = zvJsonAlloc();
  zvJsonAddString(leaf, "type", category == 12 ? "SQL" : "SYSTEM");
  zvJsonAddString(leaf, "name", name);
  zvJsonAddString(leaf, "description", description);
  snprintf(c.text, sizeof c.text, "%s -> %s ", name, description);
  zvJsonAddString(leaf, "text", c.text);
  zvJsonAddBoolean(leaf, "checked", false);
  zvJsonAddBoolean(leaf, "xSec", xSec);
  zvJsonAddBoolean(leaf, "leaf", true);
  zvJsonArrayAdd(children, leaf);
}

void addTextCounterRow(CounterContext& c, json_object* list, const char* name, int format, const char* description,
                       const void* data) {
  if (c.mode == kTree) return;
  json_object* row = zvJsonAlloc();
  zvJsonAddString(row, "Name", name);
  zvJsonAddString(row, "Category", categoryName(11));
  zvJsonAddString(row, "Type",
                  format == kChar         ? "CHAR"
                  : format == kIpAddress  ? "IP_ADDRESS"
                  : format == kIp6Address ? "IP6_ADDRESS"
                                          : "UNKNOWN");
  zvJsonAddString(row, "Description", description);
  zvJsonAddBoolean(row, "xSec", false);
  zvJsonAddBoolean(row, "Gauge", false);
  if (format == kChar) {
    zvJsonAddString(row, "Value", static_cast<const char*>(data));
  } else if (format == kIpAddress) {
    uint32_t a;
    memcpy(&a, data, 4);
    zvJsonAddString(row, "Value", ipv4Text(a).c_str());
  } else if (format == kIp6Address) {
    zvJsonAddString(row, "Value", ipv6Text(static_cast<const unsigned char*>(data)).c_str());
  }
  zvJsonArrayAdd(list, row);
}

void finishReport(CounterContext& c, json_object* list, json_object** reply) {
  if (c.mode == kRows) {
    zvJsonSetSuccess(*reply);
    zvJsonAdd(*reply, "Counters", list);
    return;
  }
  zvJsonRelease(*reply);
  *reply = list;
}

// ---- field tables --------------------------------------------------------------------------

FieldTable& FieldTable::group(uint32_t offset, std::vector<std::string> names, int size, bool isSigned, int category,
                              int format, bool xSec, bool gauge) {
  for (auto& n : names) {
    fields.push_back(Field{n, offset, uint16_t(size), isSigned, category, format, xSec, gauge, n, false});
    offset += uint32_t(size);
  }
  return *this;
}

FieldTable& FieldTable::array(uint32_t offset, const std::string& name, int count, int size, int category, int format,
                              bool xSec, bool gauge) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(name + "[" + std::to_string(i) + "]");
  return group(offset, names, size, false, category, format, xSec, gauge);
}

FieldTable& FieldTable::text(uint32_t offset, const std::string& name, int width, int format) {
  fields.push_back(Field{name, offset, uint16_t(width), false, 11, format, false, false, name, true});
  return *this;
}

FieldTable& FieldTable::zero(const std::string& name, int category) {
  fields.push_back(Field{name, kAlwaysZero, 8, false, category, kIntDec, false, false, "available for use", false});
  return *this;
}

FieldTable& FieldTable::describe(std::initializer_list<std::pair<const char*, const char*>> descriptions) {
  for (const auto& [name, text] : descriptions)
    for (auto& f : fields)
      if (f.name == name) f.description = text;
  return *this;
}

void writeRows(CounterContext& c, json_object* list, const std::vector<Field>& fields, const unsigned char* block,
               uint32_t length) {
  for (const auto& f : fields) {
    if (f.textRow) {
      // The field's bytes, cut to its width so a text without its NUL stays inside the block.
      char data[260] = {};
      if (f.offset + f.size <= length) memcpy(data, block + f.offset, std::min<size_t>(f.size, sizeof data - 1));
      addTextCounterRow(c, list, f.name.c_str(), f.format, f.description.c_str(), data);
      continue;
    }
    int64_t value = 0;
    if (f.offset != kAlwaysZero && f.offset + f.size <= length) {
      if (f.size == 1) value = f.isSigned ? int64_t(int8_t(block[f.offset])) : int64_t(block[f.offset]);
      if (f.size == 2) {
        uint16_t v;
        memcpy(&v, block + f.offset, 2);
        value = f.isSigned ? int64_t(int16_t(v)) : int64_t(v);
      }
      if (f.size == 4) {
        uint32_t v;
        memcpy(&v, block + f.offset, 4);
        value = f.isSigned ? int64_t(int32_t(v)) : int64_t(v);
      }
      if (f.size == 8) memcpy(&value, block + f.offset, 8);
    }
    int width = f.size == 4 ? kWidth4 : f.size == 8 ? kWidth8 : kWidthNone;
    addCounterRow(c, list, f.name.c_str(), f.category, width, f.format, f.description.c_str(), f.xSec, f.gauge, value);
  }
}

}  // namespace finch
