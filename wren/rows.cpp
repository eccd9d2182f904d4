// Result rows written straight as reply text.
#include "wren.h"

namespace wren {

bool RowsText::append(const json& row) {
  std::string piece = row.dump(-1, ' ', false, json::error_handler_t::strict);
  // The separator and the closing bracket count against the bound too.
  if (text_.size() + piece.size() + 2 > kMaxReplyBytes) return false;
  if (count_ > 0) text_ += ',';
  text_ += piece;
  ++count_;
  return true;
}

std::string RowsText::take() {
  std::string done = std::move(text_);
  done += ']';
  text_ = "[";
  count_ = 0;
  return done;
}

std::string rowsTooLargeMessage() {
  return "The result is larger than " + std::to_string(kMaxReplyBytes) +
         " bytes: ask for fewer rows or columns at a time.";
}

}  // namespace wren
