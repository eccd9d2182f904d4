// Result rows written straight as reply text.
#include <algorithm>

#include "wren.h"

namespace wren {

namespace {
// Reservations grow at least this much at a time, so that small rows do not
// each touch the shared count.
constexpr size_t kReserveStep = size_t(64) << 10;
}  // namespace

bool RowsText::append(const json& row) {
  std::string piece = row.dump(-1, ' ', false, json::error_handler_t::strict);
  // The separator and the closing bracket count against the bound too.
  if (text_.size() + piece.size() + 2 > kMaxReplyBytes) return false;
  // The text and the reply written from it hold about twice its bytes.
  size_t need = 2 * (text_.size() + piece.size() + 2);
  if (need > lease_.held() && !lease_.grow(std::max(need - lease_.held(), kReserveStep))) {
    busy_ = true;
    return false;
  }
  if (count_ > 0) text_ += ',';
  text_ += piece;
  ++count_;
  return true;
}

// Rows never taken are never sent: what they held goes back as they go, so
// that the replies still being built beside them can finish.
RowsText::~RowsText() {
  if (!taken_) lease_.giveBack();
}

std::string RowsText::take() {
  taken_ = true;
  std::string done = std::move(text_);
  done += ']';
  text_ = "[";
  count_ = 0;
  return done;
}

std::string rowsRefusedMessage(const RowsText& rows) {
  if (rows.busy()) return "server busy: too many large replies in flight, send again";
  return "The result is larger than " + std::to_string(kMaxReplyBytes) +
         " bytes: ask for fewer rows or columns at a time.";
}

}  // namespace wren
