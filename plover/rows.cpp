// Result rows kept as the reply's JSON text while they are fetched: a row's
// objects live only until the row is written, so a large result costs about
// the size of its reply, and no reply grows past kMaxReplyBytes. What the
// text and the reply written from it hold is reserved from the process's
// memory budget as the rows grow, and given back when the reply is freed.
#include <json-c/printbuf.h>

#include <algorithm>
#include <cstring>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

// Reservations grow at least this much at a time, so that small rows do not
// each touch the shared count.
constexpr size_t kReserveStep = size_t(64) << 10;

// A value's text and the budget it holds until the value is freed.
struct HeldText {
  std::string text;
  std::unique_ptr<yx::BudgetLease> lease;
};

int writeRowsText(json_object* object, printbuf* out, int, int) {
  const auto* held = static_cast<const HeldText*>(json_object_get_userdata(object));
  return printbuf_memappend(out, held->text.data(), int(held->text.size()));
}

void freeRowsText(json_object*, void* held) { delete static_cast<HeldText*>(held); }

json_object* heldAsText(HeldText* held) {
  json_object* value = zvJsonAllocArray();  // its contents are the text, not elements
  if (!value) {
    delete held;
    return nullptr;
  }
  json_object_set_serializer(value, writeRowsText, held, freeRowsText);
  return value;
}

}  // namespace

ReplyRows::ReplyRows() : text_("["), lease_(std::make_unique<yx::BudgetLease>()) {}

// The text, and the reply written from it, hold about twice its bytes.
bool ReplyRows::reserveFor(size_t length) {
  size_t need = 2 * (text_.size() + length + 2);
  if (need <= lease_->held()) return true;
  if (lease_->grow(std::max(need - lease_->held(), kReserveStep))) return true;
  busy_ = true;
  return false;
}

bool ReplyRows::add(json_object* row) {
  zvJsonPtr owner(row);
  if (full_) return false;
  const char* rowText = zvJsonToString(row);
  size_t length = rowText ? strlen(rowText) : 0;
  if (text_.size() + length + 2 > kMaxReplyBytes || !reserveFor(length)) {
    // Refused rows are never sent: their memory goes back at once.
    full_ = true;
    std::string().swap(text_);
    lease_->giveBack();
    return false;
  }
  if (count_++ > 0) text_ += ',';
  text_.append(rowText ? rowText : "null", rowText ? length : 4);
  return true;
}

json_object* jsonAsText(std::string text) { return heldAsText(new HeldText{std::move(text), nullptr}); }

json_object* ReplyRows::release() {
  text_.push_back(']');
  json_object* rows = heldAsText(new HeldText{std::move(text_), std::move(lease_)});
  lease_ = std::make_unique<yx::BudgetLease>();
  text_.assign(1, '[');
  count_ = 0;
  return rows;
}

void setReplyTooLarge(json_object* reply, int tid, const char* context, const char* unit, int code) {
  setExceptionReply(reply, tid, code, context, code == kServerBusy ? kServerBusyText : kReplyTooLargeText, unit);
}

}  // namespace plover
