// Request text turned into SQL: literals and identifiers quoted, row ids and
// hexadecimal values checked, so no request text is read as SQL.
#include <cctype>
#include <cstring>

#include "plover.h"

namespace plover {

namespace {

std::string quoted(const std::string& text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    if (c == quote) out += quote;
    out += c;
  }
  return out + quote;
}

}  // namespace

std::string sqlLiteral(const std::string& text) { return quoted(text, '\''); }

std::string sqlIdentifier(const std::string& name) { return quoted(name, '"'); }

bool isIntegerRowid(const char* text) {
  if (!text) return false;
  const char* p = text + (*text == '-');
  if (!*p || strlen(p) > 19) return false;
  for (; *p; ++p)
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

bool isHexDigits(const char* text) {
  size_t n = text ? strlen(text) : 0;
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; ++i)
    if (!isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// A NULL bound to the first parameter takes only when there is one; the
// statement is then refused, so the binding is never used.
bool holdsParameters(ZVSQL_CMD command) { return sql.zvsqlSetParameterAsString(command, 0, nullptr) == 0; }

}  // namespace plover
