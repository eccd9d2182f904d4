// Result rows kept as the reply's JSON text while they are fetched: a row's
// objects live only until the row is written, so a large result costs about
// the size of its reply, and no reply grows past kMaxReplyBytes.
#include <json-c/printbuf.h>

#include <cstring>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

int writeRowsText(json_object* object, printbuf* out, int, int) {
  const auto* text = static_cast<const std::string*>(json_object_get_userdata(object));
  return printbuf_memappend(out, text->data(), int(text->size()));
}

void freeRowsText(json_object*, void* text) { delete static_cast<std::string*>(text); }

}  // namespace

ReplyRows::ReplyRows() : text_("[") {}

bool ReplyRows::add(json_object* row) {
  zvJsonPtr owner(row);
  if (full_) return false;
  const char* rowText = zvJsonToString(row);
  size_t length = rowText ? strlen(rowText) : 0;
  if (text_.size() + length + 2 > kMaxReplyBytes) {
    full_ = true;
    return false;
  }
  if (count_++ > 0) text_ += ',';
  text_.append(rowText ? rowText : "null", rowText ? length : 4);
  return true;
}

json_object* jsonAsText(std::string text) {
  json_object* value = zvJsonAllocArray();  // its contents are the text, not elements
  if (!value) return nullptr;
  json_object_set_serializer(value, writeRowsText, new std::string(std::move(text)), freeRowsText);
  return value;
}

json_object* ReplyRows::release() {
  text_.push_back(']');
  json_object* rows = jsonAsText(std::move(text_));
  text_.assign(1, '[');
  count_ = 0;
  return rows;
}

void setReplyTooLarge(json_object* reply, int tid, const char* context, const char* unit) {
  setExceptionReply(reply, tid, kReplyTooLarge, context, kReplyTooLargeText, unit);
}

}  // namespace plover
