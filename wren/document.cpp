// Reading a request frame into a document under bounds: nesting depth,
// number of values, and the memory the document may take, charged as it
// grows against one budget shared by every parse in flight. Nothing here
// recurses, so no frame can reach a connection thread's stack limit.
#include <malloc.h>

#include <atomic>
#include <string>
#include <vector>

#include "wren.h"

namespace wren {
namespace {

// What one value costs the heap, roughly but never much below the truth:
// the value itself (twice over in an array, whose storage doubles as it
// grows), the node of an object member with its key, the heap block of a
// text, and each container's own block with the allocator's overhead.
constexpr size_t kValueCost = 16;
constexpr size_t kArraySlotCost = 32;
constexpr size_t kMemberCost = 96;
constexpr size_t kContainerCost = 64;
constexpr size_t kTextCost = 48;
constexpr size_t kShortTextLength = 15;  // kept inside the string object itself

// Returned to the system after a document this large has gone.
constexpr size_t kTrimAbove = 4u * 1024 * 1024;

std::atomic<size_t> parseMemoryInFlight{0};

size_t textCost(size_t length) { return kTextCost + (length > kShortTextLength ? length + 1 : 0); }

[[noreturn]] void refuse(const std::string& message) { throw RequestRefused(message); }

// Builds the document from the parser's events, keeping the bounds as it
// goes: a request that passes one is dropped at that point.
class BoundedBuilder : public nlohmann::json_sax<json> {
 public:
  BoundedBuilder(json& root, ParseMemory& memory) : root_(root), memory_(memory) {}

  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override {
    charge(textCost(value.size()));
    return add(std::move(value));
  }
  bool binary(binary_t&) override { refuse("binary values are not JSON"); }
  bool start_object(std::size_t) override { return open(json::object()); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    charge(kMemberCost + (name.size() > kShortTextLength ? name.size() + 1 : 0));
    key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& failure) override {
    throw failure;  // the library's own description, as a plain parse gives it
  }

 private:
  void charge(size_t bytes) {
    if (!memory_.charge(bytes))
      refuse("The request needs more memory than the server gives one request now (" +
             std::to_string(kMaxDocumentMemory) + " bytes at most, less while many large requests run): "
             "send it in smaller parts.");
  }

  template <class Value>
  json* place(Value&& value) {
    if (++values_ > kMaxDocumentValues)
      refuse("The request holds more than " + std::to_string(kMaxDocumentValues) + " values.");
    if (open_.empty()) {
      charge(kValueCost);
      root_ = json(std::forward<Value>(value));
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      charge(kArraySlotCost);
      parent.emplace_back(std::forward<Value>(value));
      return &parent.back();
    }
    json& slot = parent[key_];
    slot = json(std::forward<Value>(value));
    return &slot;
  }

  template <class Value>
  bool add(Value&& value) {
    place(std::forward<Value>(value));
    return true;
  }

  bool open(json container) {
    if (open_.size() >= kMaxDocumentDepth)
      refuse("The request nests arrays and objects deeper than " + std::to_string(kMaxDocumentDepth) + " levels.");
    charge(kContainerCost);
    open_.push_back(place(std::move(container)));
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  json& root_;
  ParseMemory& memory_;
  std::vector<json*> open_;  // the containers being filled, outermost first
  std::string key_;
  size_t values_ = 0;
};

// Reads only what a token check needs: the text member "authToken" of the
// top-level member "params". Nothing is built; nesting is bounded as in a
// full parse. A value inside an object always follows its key, so the last
// key read names the member a value or container belongs to.
class TokenFinder : public nlohmann::json_sax<json> {
 public:
  std::string token;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool binary(binary_t&) override { return false; }
  bool string(string_t& text) override {
    if (open_.size() == 2 && open_[1].isParams && key_ == "authToken") token = std::move(text);
    return true;
  }
  bool start_object(std::size_t) override { return enter(true); }
  bool start_array(std::size_t) override { return enter(false); }
  bool end_object() override { return leave(); }
  bool end_array() override { return leave(); }
  bool key(string_t& name) override {
    key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  struct Open {
    bool object;
    bool isParams;  // the object "params" of the top-level object
  };

  bool enter(bool object) {
    if (open_.size() >= kMaxDocumentDepth) return false;
    bool isParams = object && open_.size() == 1 && open_[0].object && key_ == "params";
    open_.push_back({object, isParams});
    return true;
  }
  bool leave() {
    open_.pop_back();
    return true;
  }

  std::vector<Open> open_;
  std::string key_;
};

}  // namespace

ParseMemory::~ParseMemory() {
  parseMemoryInFlight.fetch_sub(held_);
  if (held_ > kTrimAbove) malloc_trim(0);
}

bool ParseMemory::charge(size_t bytes) {
  if (held_ + bytes > kMaxDocumentMemory) return false;
  size_t before = parseMemoryInFlight.load();
  do {
    if (before + bytes > kParseMemoryBudget) return false;
  } while (!parseMemoryInFlight.compare_exchange_weak(before, before + bytes));
  held_ += bytes;
  return true;
}

json parseRequest(const std::string& text, ParseMemory& memory) {
  json document;
  BoundedBuilder builder(document, memory);
  json::sax_parse(text, &builder);
  return document;
}

std::string findAuthToken(const std::string& text) {
  TokenFinder finder;
  json::sax_parse(text, &finder);
  return finder.token;
}

}  // namespace wren
