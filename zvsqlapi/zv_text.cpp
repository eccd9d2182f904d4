// Statement texts: tokens, the dialect rewrite and the CREATE texts the
// catalog reads. Functions of text only.
#include "zv_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zvsql {

std::string quoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

namespace {

bool isIdentStart(unsigned char c) { return isalpha(c) || c == '_' || c >= 0x80; }
bool isIdentChar(unsigned char c) { return isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

// End of a quoted run starting at i (quote char q, doubled quote escapes).
size_t quotedEnd(const std::string& s, size_t i, char close) {
  size_t j = i + 1;
  while (j < s.size()) {
    if (s[j] == close) {
      if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

size_t numberEnd(const std::string& s, size_t i) {
  size_t j = i;
  if (s[j] == '0' && j + 1 < s.size() && (s[j + 1] == 'x' || s[j + 1] == 'X')) {
    j += 2;
    while (j < s.size() && isxdigit(static_cast<unsigned char>(s[j]))) ++j;
    return j;
  }
  while (j < s.size() && (isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.')) ++j;
  if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
    size_t k = j + 1;
    if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
    if (k < s.size() && isdigit(static_cast<unsigned char>(s[k]))) {
      j = k;
      while (j < s.size() && isdigit(static_cast<unsigned char>(s[j]))) ++j;
    }
  }
  return j;
}

bool isPunct(const std::string& text, const Token& t, char c) {
  return t.kind == TokenKind::Punct && text[t.begin] == c;
}

}  // namespace

std::vector<Token> tokenize(const std::string& s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = s[i];
    size_t j = i + 1;
    TokenKind kind = TokenKind::Punct;
    if (isspace(c)) {
      while (j < s.size() && isspace(static_cast<unsigned char>(s[j]))) ++j;
      kind = TokenKind::Space;
    } else if (c == '-' && j < s.size() && s[j] == '-') {
      while (j < s.size() && s[j] != '\n') ++j;
      kind = TokenKind::Comment;
    } else if (c == '/' && j < s.size() && s[j] == '*') {
      size_t end = s.find("*/", i + 2);
      j = end == std::string::npos ? s.size() : end + 2;
      kind = TokenKind::Comment;
    } else if (c == '\'') {
      j = quotedEnd(s, i, '\'');
      kind = TokenKind::String;
    } else if (c == '"' || c == '`' || c == '[') {
      j = quotedEnd(s, i, c == '[' ? ']' : static_cast<char>(c));
      kind = TokenKind::Quoted;
    } else if ((c == 'x' || c == 'X') && j < s.size() && s[j] == '\'') {
      j = quotedEnd(s, i + 1, '\'');
      kind = TokenKind::String;
    } else if (isdigit(c) || (c == '.' && j < s.size() && isdigit(static_cast<unsigned char>(s[j])))) {
      j = numberEnd(s, i);
      kind = TokenKind::Number;
    } else if (isIdentStart(c)) {
      while (j < s.size() && isIdentChar(static_cast<unsigned char>(s[j]))) ++j;
      kind = TokenKind::Word;
    }
    out.push_back({kind, i, j - i});
    i = j;
  }
  return out;
}

bool isWord(const std::string& text, const Token& t, const char* word) {
  return t.kind == TokenKind::Word && strlen(word) == t.length &&
         strncasecmp(text.data() + t.begin, word, t.length) == 0;
}

std::string identifierOf(const std::string& text, const Token& t) {
  std::string raw = text.substr(t.begin, t.length);
  if (t.kind != TokenKind::Quoted || raw.size() < 2) return raw;
  char close = raw[0] == '[' ? ']' : raw[0];
  std::string out;
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    out += raw[i];
    if (raw[i] == close && close != ']' && i + 2 < raw.size() && raw[i + 1] == close) ++i;
  }
  return out;
}

// ---- rewrite ----

long Rewritten::callerOffset(long outOffset) const {
  if (outOffset < 0) return -1;
  for (const Piece& p : pieces)
    if (size_t(outOffset) >= p.outBegin && size_t(outOffset) < p.outBegin + p.length)
      return p.inBegin < 0 ? -1 : p.inBegin + (outOffset - long(p.outBegin));
  return -1;
}

void Rewritten::replace(size_t outBegin, size_t length, const std::string& with) {
  std::vector<Piece> next;
  long delta = long(with.size()) - long(length);
  bool placed = false;
  for (const Piece& p : pieces) {
    size_t end = p.outBegin + p.length;
    if (end <= outBegin) {
      next.push_back(p);
      continue;
    }
    if (!placed) {
      if (p.outBegin < outBegin)
        next.push_back({p.outBegin, outBegin - p.outBegin, p.inBegin});
      if (!with.empty()) next.push_back({outBegin, with.size(), -1});
      placed = true;
    }
    // What is left of the piece after the replaced bytes, moved by the change in length.
    size_t cut = std::max(p.outBegin, outBegin + length);
    if (cut < end)
      next.push_back({size_t(long(cut) + delta), end - cut, p.inBegin < 0 ? -1 : p.inBegin + long(cut - p.outBegin)});
  }
  if (!placed && !with.empty()) next.push_back({outBegin, with.size(), -1});
  pieces = std::move(next);
  text.replace(outBegin, length, with);
}

bool Rewritten::mentions(const char* word) const { return std::find(words.begin(), words.end(), word) != words.end(); }

namespace {

// Builds the rewritten text from the caller's tokens, remembering where
// each copied run came from.
struct Builder {
  const std::string& in;
  Rewritten out;
  explicit Builder(const std::string& text) : in(text) {}
  void copy(const Token& t) {
    if (!out.pieces.empty() && out.pieces.back().inBegin >= 0 &&
        size_t(out.pieces.back().inBegin) + out.pieces.back().length == t.begin) {
      out.pieces.back().length += t.length;
    } else {
      out.pieces.push_back({out.text.size(), t.length, long(t.begin)});
    }
    out.text.append(in, t.begin, t.length);
  }
  void insert(const std::string& s) {
    if (s.empty()) return;
    out.pieces.push_back({out.text.size(), s.size(), -1});
    out.text += s;
  }
};

// Index of the next significant token at or after i.
size_t nextSignificant(const std::vector<Token>& toks, size_t i) {
  while (i < toks.size() && (toks[i].kind == TokenKind::Space || toks[i].kind == TokenKind::Comment)) ++i;
  return i;
}

bool isInteger(const std::string& text, const Token& t) {
  if (t.kind != TokenKind::Number) return false;
  for (size_t k = 0; k < t.length; ++k)
    if (!isdigit(static_cast<unsigned char>(text[t.begin + k]))) return false;
  return true;
}

// Tokens [*first, *after) that form a trailing "ZVOPTION ( BADREC )"
// before blanks and semicolons; both are end when it is absent.
void trailingOption(const std::string& text, const std::vector<Token>& toks, size_t end, size_t* first, size_t* after) {
  *first = *after = end;
  std::vector<size_t> sig;
  for (size_t i = 0; i < end; ++i)
    if (toks[i].kind != TokenKind::Space && toks[i].kind != TokenKind::Comment) sig.push_back(i);
  while (!sig.empty() && toks[sig.back()].kind == TokenKind::Punct && text[toks[sig.back()].begin] == ';')
    sig.pop_back();
  if (sig.size() < 4) return;
  size_t n = sig.size();
  const Token& a = toks[sig[n - 4]];
  if (isWord(text, a, "zvoption") && text[toks[sig[n - 3]].begin] == '(' && isWord(text, toks[sig[n - 2]], "badrec") &&
      text[toks[sig[n - 1]].begin] == ')') {
    *first = sig[n - 4];
    *after = sig[n - 1] + 1;
  }
}

// Where the statement's significant text ends (before trailing blanks and ';').
size_t statementEnd(const std::string& text, const std::vector<Token>& toks, size_t end) {
  size_t e = end;
  while (e > 0) {
    const Token& t = toks[e - 1];
    if (t.kind == TokenKind::Space || t.kind == TokenKind::Comment ||
        (t.kind == TokenKind::Punct && text[t.begin] == ';'))
      --e;
    else
      break;
  }
  return e;
}

// SQLite's names of the default values that the catalog calls sysdate, systime, systimestamp.
const char* currentTimeKeyword(const std::string& text, const Token& t) {
  if (isWord(text, t, "sysdate")) return "CURRENT_DATE";
  if (isWord(text, t, "systime")) return "CURRENT_TIME";
  if (isWord(text, t, "systimestamp")) return "CURRENT_TIMESTAMP";
  return nullptr;
}

// Index after the group of the parenthesis at i, or i when none opens there.
size_t groupAfter(const std::string& text, const std::vector<Token>& toks, size_t i, size_t end) {
  if (i >= end || !isPunct(text, toks[i], '(')) return i;
  int depth = 0;
  for (size_t k = i; k < end; ++k) {
    if (isPunct(text, toks[k], '(')) ++depth;
    if (isPunct(text, toks[k], ')') && --depth == 0) return k + 1;
  }
  return end;
}

// Create statements of the scripts the workbench writes: a default named
// by a catalog keyword becomes SQLite's, an identity clause goes (the
// integer primary key is the identity), the table of an index or trigger
// loses its owner (SQLite's index and trigger live in their table's
// schema), and a trigger's column list loses its parentheses and its
// referencing clause goes (SQLite names the rows new and old). Returns the
// index of the first token not handled.
size_t rewriteCreate(const std::string& text, const std::vector<Token>& toks, size_t first, size_t end, Builder& b) {
  size_t kind = nextSignificant(toks, first + 1);
  if (kind < end && isWord(text, toks[kind], "unique")) kind = nextSignificant(toks, kind + 1);
  bool table = kind < end && isWord(text, toks[kind], "table");
  bool index = kind < end && isWord(text, toks[kind], "index");
  bool trigger = kind < end && isWord(text, toks[kind], "trigger");
  if (!table && !index && !trigger) return first;
  bool tableNamed = false;
  for (size_t k = first; k < end; ++k) {
    const Token& t = toks[k];
    size_t next = nextSignificant(toks, k + 1);
    if (trigger && isWord(text, t, "begin")) return k;  // the body as written
    if (trigger && isWord(text, t, "of") && next < end && isPunct(text, toks[next], '(')) {
      size_t close = groupAfter(text, toks, next, end) - 1;
      for (; k < next; ++k) b.copy(toks[k]);
      for (k = next + 1; k < close; ++k) b.copy(toks[k]);
      continue;
    }
    if (trigger && isWord(text, t, "referencing")) {
      while (next < end && !isWord(text, toks[next], "for")) next = nextSignificant(toks, next + 1);
      k = next - 1;
      continue;
    }
    if (table && isWord(text, t, "default") && next < end && currentTimeKeyword(text, toks[next])) {
      for (; k < next; ++k) b.copy(toks[k]);
      b.insert(currentTimeKeyword(text, toks[next]));
      continue;
    }
    if (table && isWord(text, t, "identity") && groupAfter(text, toks, next, end) > next) {
      k = groupAfter(text, toks, next, end) - 1;
      continue;
    }
    if ((index || trigger) && !tableNamed && isWord(text, t, "on")) {
      tableNamed = true;
      size_t dot = nextSignificant(toks, next + 1);
      if (next < end && dot < end && isPunct(text, toks[dot], '.')) {
        for (; k < next; ++k) b.copy(toks[k]);
        k = dot;  // the owner and its dot
        continue;
      }
    }
    b.copy(t);
  }
  return end;
}

}  // namespace

Rewritten rewriteDialect(const std::string& text) {
  std::vector<Token> toks = tokenize(text);
  Builder b(text);
  for (const Token& t : toks)
    if (t.kind == TokenKind::Word) {
      std::string w = text.substr(t.begin, t.length);
      for (char& c : w) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      b.out.words.push_back(w);
    }
  size_t first = nextSignificant(toks, 0);
  size_t end, afterOption;
  trailingOption(text, toks, toks.size(), &end, &afterOption);
  size_t stmtEnd = statementEnd(text, toks, end);
  std::string limit;
  size_t i = 0;
  for (; i < first; ++i) b.copy(toks[i]);
  if (first < stmtEnd && isWord(text, toks[first], "vacuum")) {
    for (size_t k = first; k < stmtEnd; ++k)
      if (isWord(text, toks[k], "into")) {
        b.out.refused = true;
        b.out.refusal = "VACUUM INTO writes a file; it is not run";
      }
  }
  if (first < stmtEnd && isWord(text, toks[first], "call")) {
    b.insert("select * from");
    i = first + 1;
  } else if (first < stmtEnd && isWord(text, toks[first], "create")) {
    i = rewriteCreate(text, toks, first, stmtEnd, b);
  } else if (first < stmtEnd && isWord(text, toks[first], "select")) {
    b.copy(toks[first]);
    i = first + 1;
    // top N / skip M right after select
    std::string top, skip;
    for (;;) {
      size_t k = nextSignificant(toks, i);
      if (k + 2 >= stmtEnd) break;
      size_t n = nextSignificant(toks, k + 1);
      bool isTop = isWord(text, toks[k], "top"), isSkip = isWord(text, toks[k], "skip");
      if (!(isTop || isSkip) || n >= stmtEnd || !isInteger(text, toks[n])) break;
      (isTop ? top : skip) = text.substr(toks[n].begin, toks[n].length);
      i = n + 1;
    }
    if (!top.empty() || !skip.empty())
      limit = " LIMIT " + (top.empty() ? std::string("-1") : top) + (skip.empty() ? "" : " OFFSET " + skip);
    // a select-list item that is the bare word rowid gets its own name
    int depth = 0;
    size_t prev = i - 1;  // the select word or the last top/skip number
    for (size_t k = i; k < stmtEnd; ++k) {
      const Token& t = toks[k];
      if (t.kind == TokenKind::Space || t.kind == TokenKind::Comment) continue;
      if (isPunct(text, t, '(')) ++depth;
      if (isPunct(text, t, ')')) --depth;
      if (depth == 0 && isWord(text, t, "from")) break;
      if (depth == 0 && isWord(text, t, "rowid")) {
        size_t n = nextSignificant(toks, k + 1);
        bool startsItem = prev < i || isPunct(text, toks[prev], ',');
        bool endsItem = n >= stmtEnd || isWord(text, toks[n], "from") || isPunct(text, toks[n], ',');
        if (startsItem && endsItem) {
          for (; i <= k; ++i) b.copy(toks[i]);
          b.insert(" AS rowid");
        }
      }
      prev = k;
    }
  }
  for (; i < stmtEnd; ++i) b.copy(toks[i]);
  b.insert(limit);
  for (i = end < toks.size() ? afterOption : stmtEnd; i < toks.size(); ++i) b.copy(toks[i]);
  return b.out;
}

// ---- CREATE texts ----

namespace {

struct Span {
  size_t from, to;  // token indexes [from, to)
};

// Significant tokens of a text.
std::vector<Token> significant(const std::string& text) {
  std::vector<Token> out;
  for (const Token& t : tokenize(text))
    if (t.kind != TokenKind::Space && t.kind != TokenKind::Comment) out.push_back(t);
  return out;
}

// Index after the parenthesised group that opens at i.
size_t groupEnd(const std::string& text, const std::vector<Token>& toks, size_t i) {
  int depth = 0;
  for (size_t k = i; k < toks.size(); ++k) {
    if (isPunct(text, toks[k], '(')) ++depth;
    if (isPunct(text, toks[k], ')') && --depth == 0) return k + 1;
  }
  return toks.size();
}

std::string textOf(const std::string& text, const std::vector<Token>& toks, size_t from, size_t to) {
  if (from >= to) return "";
  return text.substr(toks[from].begin, toks[to - 1].begin + toks[to - 1].length - toks[from].begin);
}

std::vector<std::string> columnList(const std::string& text, const std::vector<Token>& toks, size_t open) {
  std::vector<std::string> cols;
  size_t close = groupEnd(text, toks, open);
  bool expectName = true;
  for (size_t k = open + 1; k + 1 < close; ++k) {
    if (isPunct(text, toks[k], ',')) {
      expectName = true;
    } else if (expectName && (toks[k].kind == TokenKind::Word || toks[k].kind == TokenKind::Quoted)) {
      cols.push_back(identifierOf(text, toks[k]));
      expectName = false;
    }
  }
  return cols;
}

// Column and table constraints of one definition of the table body.
void parseDefinition(const std::string& text, const std::vector<Token>& toks, Span d,
                     std::vector<ParsedConstraint>* out) {
  bool tableConstraint = isWord(text, toks[d.from], "constraint") || isWord(text, toks[d.from], "primary") ||
                         isWord(text, toks[d.from], "unique") || isWord(text, toks[d.from], "check") ||
                         isWord(text, toks[d.from], "foreign");
  std::string column = tableConstraint ? "" : identifierOf(text, toks[d.from]);
  std::string name;
  for (size_t k = tableConstraint ? d.from : d.from + 1; k < d.to; ++k) {
    const Token& t = toks[k];
    if (isWord(text, t, "constraint") && k + 1 < d.to) {
      name = identifierOf(text, toks[++k]);
      continue;
    }
    ParsedConstraint c{};
    c.name = name;
    if (isWord(text, t, "primary") || isWord(text, t, "unique")) {
      c.type = isWord(text, t, "primary") ? 'P' : 'U';
      size_t n = c.type == 'P' ? k + 2 : k + 1;
      if (n < d.to && isPunct(text, toks[n], '(')) {
        c.columns = columnList(text, toks, n);
        k = groupEnd(text, toks, n) - 1;
      } else {
        c.columns = {column};
      }
    } else if (isWord(text, t, "check") && k + 1 < d.to && isPunct(text, toks[k + 1], '(')) {
      c.type = 'C';
      size_t close = groupEnd(text, toks, k + 1);
      c.checkClause = textOf(text, toks, k + 1, close);
      k = close - 1;
    } else if (isWord(text, t, "foreign") && k + 2 < d.to && isPunct(text, toks[k + 2], '(')) {
      c.type = 'F';
      c.columns = columnList(text, toks, k + 2);
      k = groupEnd(text, toks, k + 2) - 1;
      if (k + 2 < d.to && isWord(text, toks[k + 1], "references")) c.refTable = identifierOf(text, toks[k + 2]);
    } else if (isWord(text, t, "references") && k + 1 < d.to && !column.empty()) {
      c.type = 'F';
      c.columns = {column};
      c.refTable = identifierOf(text, toks[k + 1]);
    } else if (t.kind == TokenKind::Punct && text[t.begin] == '(') {
      k = groupEnd(text, toks, k) - 1;  // type sizes, default expressions
      continue;
    } else {
      continue;
    }
    out->push_back(c);
    name.clear();
  }
}

}  // namespace

std::vector<ParsedConstraint> parseTableConstraints(const std::string& createSql) {
  std::vector<ParsedConstraint> out;
  std::vector<Token> toks = significant(createSql);
  size_t open = 0;
  while (open < toks.size() && !isPunct(createSql, toks[open], '(')) ++open;
  if (open >= toks.size()) return out;  // CREATE TABLE ... AS SELECT
  size_t close = groupEnd(createSql, toks, open) - 1;
  size_t start = open + 1;
  int depth = 0;
  for (size_t k = start; k <= close && k < toks.size(); ++k) {
    if (isPunct(createSql, toks[k], '(')) ++depth;
    if (isPunct(createSql, toks[k], ')')) --depth;
    if ((depth == 0 && isPunct(createSql, toks[k], ',')) || k == close) {
      if (k > start) parseDefinition(createSql, toks, {start, k}, &out);
      start = k + 1;
    }
  }
  return out;
}

ParsedTrigger parseTrigger(const std::string& createSql) {
  ParsedTrigger p;
  std::vector<Token> toks = significant(createSql);
  size_t k = 0;
  while (k < toks.size() && !isWord(createSql, toks[k], "trigger")) ++k;
  for (; k < toks.size(); ++k) {
    const Token& t = toks[k];
    if (isWord(createSql, t, "before")) p.time = 'B';
    if (isWord(createSql, t, "instead")) p.time = 'I';
    if (isWord(createSql, t, "insert") || isWord(createSql, t, "delete") || isWord(createSql, t, "update")) {
      p.event = isWord(createSql, t, "insert") ? 'I' : isWord(createSql, t, "delete") ? 'D' : 'U';
      if (p.event == 'U' && k + 1 < toks.size() && isWord(createSql, toks[k + 1], "of")) {
        for (k += 2; k < toks.size() && !isWord(createSql, toks[k], "on"); ++k)
          if (!isPunct(createSql, toks[k], ',')) p.updateColumns.push_back(identifierOf(createSql, toks[k]));
      }
      break;
    }
  }
  size_t begin = 0, end = 0;
  for (size_t i = k; i < toks.size(); ++i)
    if (isWord(createSql, toks[i], "begin")) {
      begin = i;
      break;
    }
  for (size_t i = toks.size(); i > begin; --i)
    if (isWord(createSql, toks[i - 1], "end")) {
      end = i - 1;
      break;
    }
  if (begin && end > begin + 1) p.body = textOf(createSql, toks, begin + 1, end);
  return p;
}

std::string viewBody(const std::string& createSql) {
  std::vector<Token> toks = significant(createSql);
  for (size_t k = 0; k < toks.size(); ++k)
    if (isWord(createSql, toks[k], "as") && k + 1 < toks.size()) return createSql.substr(toks[k + 1].begin);
  return "";
}

// ---- statements the library carries out itself ----

namespace {

bool isName(const Token& t) { return t.kind == TokenKind::Word || t.kind == TokenKind::Quoted; }

// Sets why a text was refused and gives back result, for the readers' early returns.
template <class Result>
Result because(std::string* error, std::string why, Result result) {
  *error = std::move(why);
  return result;
}

// "[owner .] name" at k: the name's parts, k moved past them; false when none is there.
bool qualifiedNameAt(const std::string& text, const std::vector<Token>& toks, size_t& k, std::string* owner,
                     std::string* name) {
  if (k >= toks.size() || !isName(toks[k])) return false;
  *name = identifierOf(text, toks[k++]);
  if (k + 1 < toks.size() && isPunct(text, toks[k], '.') && isName(toks[k + 1])) {
    *owner = *name;
    *name = identifierOf(text, toks[k + 1]);
    k += 2;
  }
  return true;
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + quoteIdentifier(n);
  return "(" + out + ")";
}

// The declarations between the parentheses that open at open; k moved past the group.
std::vector<RoutineColumn> declarations(const std::string& text, const std::vector<Token>& toks, size_t open,
                                        const char* argtype, size_t& k) {
  std::vector<RoutineColumn> out;
  size_t close = groupEnd(text, toks, open);
  size_t start = open + 1;
  int depth = 0;
  for (size_t i = open + 1; i < close; ++i) {
    if (isPunct(text, toks[i], '(')) ++depth;
    if (isPunct(text, toks[i], ')')) --depth;
    if (!(depth < 0 || (depth == 0 && isPunct(text, toks[i], ',')))) continue;
    size_t d = start;
    RoutineColumn c{argtype ? argtype : "", "", ""};
    if (argtype && d + 2 < i &&
        (isWord(text, toks[d], "in") || isWord(text, toks[d], "out") || isWord(text, toks[d], "inout"))) {
      c.argtype = text.substr(toks[d].begin, toks[d].length);
      for (char& ch : c.argtype) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
      ++d;
    }
    if (d + 1 < i && isName(toks[d])) {
      c.name = identifierOf(text, toks[d]);
      c.declared = textOf(text, toks, d + 1, i);
      out.push_back(c);
    }
    start = i + 1;
  }
  k = close;
  return out;
}

}  // namespace

bool isCreateRoutine(const std::string& text) {
  std::vector<Token> toks = significant(text);
  return toks.size() > 1 && isWord(text, toks[0], "create") &&
         (isWord(text, toks[1], "procedure") || isWord(text, toks[1], "function"));
}

bool parseRoutine(const std::string& text, RoutineDefinition* out, std::string* error) {
  std::vector<Token> toks = significant(text);
  if (!isCreateRoutine(text)) return because(error, "Not a create procedure or function statement", false);
  out->function = isWord(text, toks[1], "function");
  out->owner = kUserOwner;
  size_t k = 2;
  if (!qualifiedNameAt(text, toks, k, &out->owner, &out->name)) return because(error, "The routine has no name", false);
  if (k >= toks.size() || !isPunct(text, toks[k], '('))
    return because(error, "The routine's parameter list is missing", false);
  out->columns = declarations(text, toks, k, "IN", k);
  if (k < toks.size() && isWord(text, toks[k], "result") && k + 1 < toks.size() && isPunct(text, toks[k + 1], '(')) {
    std::vector<RoutineColumn> results = declarations(text, toks, k + 1, nullptr, k);
    for (RoutineColumn& r : results) r.argtype = "result";
    out->columns.insert(out->columns.end(), results.begin(), results.end());
  }
  if (k < toks.size() && isWord(text, toks[k], "returns")) {
    size_t from = ++k;
    while (k < toks.size() && !isWord(text, toks[k], "import") && !isWord(text, toks[k], "begin")) ++k;
    if (k == from) return because(error, "The function's return type is missing", false);
    out->columns.push_back({"udf_return", "return_value", textOf(text, toks, from, k)});
  }
  size_t begin = k;
  while (begin < toks.size() && !isWord(text, toks[begin], "begin")) ++begin;
  size_t end = toks.size();
  while (end > begin + 1 && !isWord(text, toks[end - 1], "end")) --end;
  if (begin >= toks.size() || end <= begin + 1)
    return because(error, "The routine's body (BEGIN ... END) is missing", false);
  --end;
  if (k < begin && isWord(text, toks[k], "import")) {
    size_t from = toks[k].begin + toks[k].length;
    out->importText = text.substr(from, toks[begin].begin - from);
  } else if (k < begin) {
    return because(error, "Unexpected text before BEGIN: " + textOf(text, toks, k, begin), false);
  }
  size_t from = toks[begin].begin + toks[begin].length;
  out->body = text.substr(from, toks[end].begin - from);
  // The line breaks a script writes around the keywords are not part of the texts.
  auto trim = [](std::string& s, bool trailing) {
    if (!s.empty() && s.front() == '\n') s.erase(0, 1);
    if (trailing && !s.empty() && s.back() == '\n') s.pop_back();
  };
  trim(out->importText, true);
  trim(out->body, false);
  return true;
}

bool runsPlanGraph(const RoutineDefinition& routine) {
  for (const Token& t : tokenize(routine.body))
    if (isWord(routine.body, t, "QEPTree")) return true;
  return false;
}

int parseAddForeignKey(const std::string& text, AddedForeignKey* out, std::string* error) {
  std::vector<Token> toks = significant(text);
  size_t k = 2;
  std::string owner, table;
  if (toks.size() < 4 || !isWord(text, toks[0], "alter") || !isWord(text, toks[1], "table") ||
      !qualifiedNameAt(text, toks, k, &owner, &table) || k >= toks.size() || !isWord(text, toks[k], "add"))
    return 0;
  ++k;
  std::string name;
  if (k + 1 < toks.size() && isWord(text, toks[k], "constraint") && isName(toks[k + 1])) {
    name = identifierOf(text, toks[k + 1]);
    k += 2;
  }
  if (k + 2 >= toks.size() || !isWord(text, toks[k], "foreign") || !isWord(text, toks[k + 1], "key")) return 0;
  k += 2;
  if (!isPunct(text, toks[k], '(')) return because(error, "The foreign key's columns are missing", -1);
  std::vector<std::string> from = columnList(text, toks, k);
  k = groupEnd(text, toks, k);
  std::string refOwner, refTable;
  if (k >= toks.size() || !isWord(text, toks[k], "references") ||
      !qualifiedNameAt(text, toks, ++k, &refOwner, &refTable))
    return because(error, "The foreign key's referenced table is missing", -1);
  std::vector<std::string> to;
  if (k < toks.size() && isPunct(text, toks[k], '(')) {
    to = columnList(text, toks, k);
    k = groupEnd(text, toks, k);
  }
  // Actions and deferral are words only; anything else is not added to a table's definition.
  std::string actions;
  for (; k < toks.size(); ++k) {
    if (isPunct(text, toks[k], ';') && k + 1 == toks.size()) break;
    if (toks[k].kind != TokenKind::Word)
      return because(error, "Unexpected text after the foreign key's references", -1);
    actions += " " + text.substr(toks[k].begin, toks[k].length);
  }
  out->table = table;
  out->clause = (name.empty() ? "" : "CONSTRAINT " + quoteIdentifier(name) + " ") + "FOREIGN KEY " + quotedList(from) +
                " REFERENCES " + quoteIdentifier(refTable) + (to.empty() ? "" : " " + quotedList(to)) + actions;
  return 1;
}

std::string callTarget(const std::string& text) {
  std::vector<Token> toks = significant(text);
  size_t k = 1;
  std::string owner, name;
  if (toks.empty() || !isWord(text, toks[0], "call") || !qualifiedNameAt(text, toks, k, &owner, &name)) return "";
  return name;
}

// ---- values an INSERT or UPDATE writes ----

namespace {

std::string unquotedText(const std::string& text, const Token& t) {
  std::string out;
  for (size_t i = t.begin + 1; i + 1 < t.begin + t.length; ++i) {
    out += text[i];
    if (text[i] == '\'' && text[i + 1] == '\'') ++i;
  }
  return out;
}

// The value of tokens [from, to) when it is one literal.
ColumnValue valueOf(const std::string& text, const std::vector<Token>& toks, size_t from, size_t to) {
  ColumnValue v{"", 0, 0, ColumnValue::Other, ""};
  if (from >= to) return v;
  v.begin = toks[from].begin;
  v.length = toks[to - 1].begin + toks[to - 1].length - v.begin;
  if (to - from == 1 && toks[from].kind == TokenKind::String && text[toks[from].begin] == '\'') {
    v.kind = ColumnValue::Text;
    v.literal = unquotedText(text, toks[from]);
  } else if (to - from == 1 && isWord(text, toks[from], "null")) {
    v.kind = ColumnValue::Null;
  } else if (toks[to - 1].kind == TokenKind::Number &&
             (to - from == 1 || (to - from == 2 && (isPunct(text, toks[from], '-') || isPunct(text, toks[from], '+'))))) {
    v.kind = ColumnValue::Number;
    v.literal = textOf(text, toks, from, to);
  }
  return v;
}

// The items of the group that opens at toks[open], split at its own commas: [from, to) each.
std::vector<Span> groupItems(const std::string& text, const std::vector<Token>& toks, size_t open, size_t* close) {
  std::vector<Span> items;
  size_t end = groupEnd(text, toks, open);
  *close = end - 1;
  int depth = 0;
  size_t start = open + 1;
  for (size_t k = open + 1; k + 1 < end; ++k) {
    if (isPunct(text, toks[k], '(')) ++depth;
    if (isPunct(text, toks[k], ')')) --depth;
    if (depth == 0 && isPunct(text, toks[k], ',')) {
      items.push_back({start, k});
      start = k + 1;
    }
  }
  if (end - 1 > open + 1 || start < end - 1) items.push_back({start, end - 1});
  return items;
}

// The table named at toks[k] ("name" or "schema.name"); k moves past it.
std::string tableAt(const std::string& text, const std::vector<Token>& toks, size_t& k, WrittenValues& w) {
  if (k >= toks.size() || !isName(toks[k])) return "";
  std::string name = identifierOf(text, toks[k++]);
  if (k + 1 < toks.size() && isPunct(text, toks[k], '.') && isName(toks[k + 1])) {
    w.schema = name;
    name = identifierOf(text, toks[k + 1]);
    k += 2;
  }
  // an alias ("AS c") and an index choice ("INDEXED BY i", "NOT INDEXED") follow the name
  if (k + 1 < toks.size() && isWord(text, toks[k], "as") && isName(toks[k + 1])) k += 2;
  if (k + 2 < toks.size() && isWord(text, toks[k], "indexed") && isWord(text, toks[k + 1], "by") &&
      isName(toks[k + 2]))
    k += 3;
  else if (k + 1 < toks.size() && isWord(text, toks[k], "not") && isWord(text, toks[k + 1], "indexed"))
    k += 2;
  w.tableEnd = toks[k - 1].begin + toks[k - 1].length;
  return name;
}

// The "column = value" assignments of a SET list from toks[k] to the end of
// the list (FROM, WHERE, RETURNING, ...); k moves past them. A list of
// columns set from a list of values ("(a, b) = (1, 2)") gives a value each;
// set from anything else (a subquery) it gives each column a value of kind
// Other that covers no text.
void assignments(const std::string& text, const std::vector<Token>& toks, size_t& k, std::vector<ColumnValue>& out) {
  int depth = 0;
  size_t start = k;
  auto assignment = [&](size_t from, size_t to) {
    if (to - from >= 3 && isName(toks[from]) && isPunct(text, toks[from + 1], '=')) {
      ColumnValue v = valueOf(text, toks, from + 2, to);
      v.column = identifierOf(text, toks[from]);
      out.push_back(std::move(v));
      return;
    }
    if (to - from < 3 || !isPunct(text, toks[from], '(')) return;
    size_t close;
    std::vector<Span> columns = groupItems(text, toks, from, &close);
    if (close + 2 >= to || !isPunct(text, toks[close + 1], '=')) return;
    std::vector<Span> values;
    size_t valuesClose = 0;
    if (isPunct(text, toks[close + 2], '(') && !(close + 3 < to && isWord(text, toks[close + 3], "select")))
      values = groupItems(text, toks, close + 2, &valuesClose);
    bool each = values.size() == columns.size() && valuesClose + 1 == to;
    for (size_t i = 0; i < columns.size(); ++i) {
      const Span& c = columns[i];
      ColumnValue v = each ? valueOf(text, toks, values[i].from, values[i].to) : ColumnValue{"", 0, 0, ColumnValue::Other, ""};
      v.column = c.to - c.from == 1 && isName(toks[c.from]) ? identifierOf(text, toks[c.from]) : "";
      out.push_back(std::move(v));
    }
  };
  for (; k < toks.size(); ++k) {
    const Token& t = toks[k];
    if (isPunct(text, t, '(')) ++depth;
    if (isPunct(text, t, ')')) --depth;
    if (depth != 0) continue;
    if (isPunct(text, t, ',')) {
      assignment(start, k);
      start = k + 1;
    } else if ((isWord(text, t, "from") && !(k > 0 && isWord(text, toks[k - 1], "distinct"))) ||  // IS DISTINCT FROM
               isWord(text, t, "where") || isWord(text, t, "returning") ||
               isWord(text, t, "order") || isWord(text, t, "limit") || isWord(text, t, "on") ||
               isPunct(text, t, ';')) {
      break;
    }
  }
  assignment(start, k);
}

// The DO UPDATE SET lists of an insert's upsert clauses from toks[k].
void upsertValues(const std::string& text, const std::vector<Token>& toks, size_t k, WrittenValues& w) {
  int depth = 0;
  for (; k < toks.size(); ++k) {
    if (isPunct(text, toks[k], '(')) ++depth;
    if (isPunct(text, toks[k], ')')) --depth;
    if (depth != 0) continue;
    if (isWord(text, toks[k], "returning")) return;
    if (k + 2 < toks.size() && isWord(text, toks[k], "do") && isWord(text, toks[k + 1], "update") &&
        isWord(text, toks[k + 2], "set")) {
      k += 3;
      assignments(text, toks, k, w.upsertValues);
      --k;
    }
  }
}

// The SELECT of "INSERT ... SELECT" that starts at toks[k]: it ends where an
// upsert clause, a RETURNING clause or the statement ends.
void selectSource(const std::string& text, const std::vector<Token>& toks, size_t k, WrittenValues& w) {
  w.fromSelect = true;
  w.selectBegin = toks[k].begin;
  int depth = 0;
  size_t end = k;
  for (; end < toks.size(); ++end) {
    const Token& t = toks[end];
    if (isPunct(text, t, '(')) ++depth;
    if (isPunct(text, t, ')')) --depth;
    if (depth != 0) continue;
    if (isPunct(text, t, ';') || isWord(text, t, "returning") ||
        (isWord(text, t, "on") && end + 1 < toks.size() && isWord(text, toks[end + 1], "conflict")))
      break;
  }
  w.selectEnd = end > k ? toks[end - 1].begin + toks[end - 1].length : w.selectBegin;
}

// Index of the statement's first word after a leading WITH clause
// ("WITH [RECURSIVE] name [(columns)] AS [NOT] [MATERIALIZED] (...), ...").
size_t afterWithClause(const std::string& text, const std::vector<Token>& toks) {
  size_t k = 1;
  if (k < toks.size() && isWord(text, toks[k], "recursive")) ++k;
  while (k < toks.size() && isName(toks[k])) {
    ++k;
    if (k < toks.size() && isPunct(text, toks[k], '(')) k = groupEnd(text, toks, k);
    if (k >= toks.size() || !isWord(text, toks[k], "as")) return toks.size();
    ++k;
    while (k < toks.size() && (isWord(text, toks[k], "not") || isWord(text, toks[k], "materialized"))) ++k;
    if (k >= toks.size() || !isPunct(text, toks[k], '(')) return toks.size();
    k = groupEnd(text, toks, k);
    if (k >= toks.size() || !isPunct(text, toks[k], ',')) return k;
    ++k;
  }
  return toks.size();
}

// Whether the VALUES at toks[k] go on into a compound or an ordering
// ("VALUES (...) UNION ALL SELECT ..."): then the rows are a SELECT's.
bool compoundValues(const std::string& text, const std::vector<Token>& toks, size_t k) {
  int depth = 0;
  for (++k; k < toks.size(); ++k) {
    const Token& t = toks[k];
    if (isPunct(text, t, '(')) ++depth;
    if (isPunct(text, t, ')')) --depth;
    if (depth != 0) continue;
    if (isPunct(text, t, ';') || isWord(text, t, "returning") || isWord(text, t, "on")) return false;
    for (const char* word : {"union", "intersect", "except", "order", "limit"})
      if (isWord(text, t, word)) return true;
  }
  return false;
}

void insertValues(const std::string& text, const std::vector<Token>& toks, size_t k, WrittenValues& w,
                  const std::function<std::vector<std::string>(const std::string&)>& tableColumns) {
  std::string table = tableAt(text, toks, k, w);
  if (table.empty()) return;
  std::vector<std::string> columns;
  if (k < toks.size() && isPunct(text, toks[k], '(')) {
    size_t close;
    for (const Span& item : groupItems(text, toks, k, &close)) {
      if (item.to - item.from != 1 || !isName(toks[item.from])) return;
      columns.push_back(identifierOf(text, toks[item.from]));
    }
    w.columnsListed = true;
    w.listedColumns = columns;
    w.columnListClose = toks[close].begin;
    k = close + 1;
  }
  if (k < toks.size() && (isWord(text, toks[k], "select") || isWord(text, toks[k], "with") ||
                          (isWord(text, toks[k], "values") && compoundValues(text, toks, k)))) {
    selectSource(text, toks, k, w);
    w.targetColumns = w.columnsListed ? columns : tableColumns(table);
    w.table = table;
    size_t end = k;
    while (end < toks.size() && toks[end].begin < w.selectEnd) ++end;
    upsertValues(text, toks, end, w);
    return;
  }
  if (k >= toks.size() || !isWord(text, toks[k], "values")) {
    w.columnsListed = false;
    return;
  }
  if (!w.columnsListed) columns = tableColumns(table);
  w.table = table;
  for (++k; k < toks.size() && isPunct(text, toks[k], '(');) {
    size_t close;
    std::vector<Span> items = groupItems(text, toks, k, &close);
    for (size_t i = 0; i < items.size() && i < columns.size(); ++i) {
      ColumnValue v = valueOf(text, toks, items[i].from, items[i].to);
      v.column = columns[i];
      w.values.push_back(std::move(v));
    }
    w.rowCloses.push_back(toks[close].begin);
    w.rowItems.push_back(items.size());
    ++w.rows;
    k = close + 1;
    if (k >= toks.size() || !isPunct(text, toks[k], ',')) break;
    ++k;
  }
  upsertValues(text, toks, k, w);
}

void updateValues(const std::string& text, const std::vector<Token>& toks, size_t k, WrittenValues& w) {
  std::string table = tableAt(text, toks, k, w);
  if (table.empty() || k >= toks.size() || !isWord(text, toks[k], "set")) return;
  w.table = table;
  ++k;
  assignments(text, toks, k, w.values);
}

}  // namespace

WrittenValues writtenValues(const std::string& text,
                            const std::function<std::vector<std::string>(const std::string&)>& tableColumns) {
  WrittenValues w;
  std::vector<Token> toks = significant(text);
  size_t k = 0;
  if (k >= toks.size()) return w;
  if (isWord(text, toks[k], "with")) {
    k = afterWithClause(text, toks);
    if (k >= toks.size()) return w;
    w.withClause = true;
  }
  w.statementBegin = toks[k].begin;
  w.verb = textOf(text, toks, k, k + 1);
  bool insert = isWord(text, toks[k], "insert") || isWord(text, toks[k], "replace");
  bool update = isWord(text, toks[k], "update");
  if (!insert && !update) return w;
  ++k;
  if (k + 1 < toks.size() && isWord(text, toks[k], "or")) k += 2;
  if (insert) {
    if (k >= toks.size() || !isWord(text, toks[k], "into")) return w;
    insertValues(text, toks, k + 1, w, tableColumns);
  } else {
    updateValues(text, toks, k, w);
  }
  return w;
}

}  // namespace zvsql
