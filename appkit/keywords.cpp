// The keyword-file reader: "KEY value" lines.
#include <cctype>

#include "appkit.h"

namespace appkit {

namespace {

bool isSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Where the word starting at begin ends.
size_t wordEnd(std::string_view line, size_t begin, const KeywordRules& rules) {
  size_t end = begin;
  while (end < line.size() && !(rules.blanksOnly ? line[end] == ' ' : isSpace(line[end]))) ++end;
  return end;
}

// Skips the separators of the rules, then white space: a word's own leading
// white space never belongs to it.
size_t skipToWord(std::string_view line, size_t at, const KeywordRules& rules) {
  if (rules.blanksOnly)
    while (at < line.size() && line[at] == ' ') ++at;
  while (at < line.size() && isSpace(line[at])) ++at;
  return at;
}

}  // namespace

bool parseKeywordLine(std::string_view line, const KeywordRules& rules, KeywordLine* out) {
  // The end of line is no part of a word or value: with blanks as the only
  // separators a "\r" ends the line, elsewhere it is white space.
  size_t cut = line.find_first_of(rules.blanksOnly ? "\r\n" : "\n");
  if (cut != std::string_view::npos) line = line.substr(0, cut);
  size_t keyBegin = skipToWord(line, 0, rules);
  if (keyBegin == line.size()) return false;
  if (rules.commentStarts && strchr(rules.commentStarts, line[keyBegin]) != nullptr) return false;
  size_t keyEnd = wordEnd(line, keyBegin, rules);
  size_t valueBegin = skipToWord(line, keyEnd, rules);
  size_t valueEnd = rules.valueIsRestOfLine ? line.size() : wordEnd(line, valueBegin, rules);
  while (rules.valueIsRestOfLine && valueEnd > valueBegin && isSpace(line[valueEnd - 1])) --valueEnd;
  if (rules.lineNeedsValue && valueBegin == line.size()) return false;
  out->key = line.substr(keyBegin, keyEnd - keyBegin);
  out->value = line.substr(valueBegin, valueEnd - valueBegin);
  return true;
}

void forEachKeyword(std::string_view text, const KeywordRules& rules,
                    const std::function<void(const KeywordLine&)>& apply) {
  KeywordLine parsed;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (parseKeywordLine(line, rules, &parsed)) apply(parsed);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void forEachKeyword(FILE* file, const KeywordRules& rules, const std::function<void(const KeywordLine&)>& apply) {
  char line[1024];
  KeywordLine parsed;
  while (fgets(line, sizeof line, file) != nullptr && line[0] != '\0')
    if (parseKeywordLine(line, rules, &parsed)) apply(parsed);
}

}  // namespace appkit
