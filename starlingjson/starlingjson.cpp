// The five entry points and the table of prepared messages behind the handles.

#include "starlingjson.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "sj_document.h"

#define SJ_EXPORT extern "C" __attribute__((visibility("default")))

namespace sj {
namespace {

// A handle is a positive int64: generation (25 bits) | slot (16 bits) | value
// index (22 bits). The slot finds the message, the generation tells a live
// message from one released before (a stale handle), and the value index is
// checked against the message's table, so no handle is ever an address.
constexpr int kValueBits = 22, kSlotBits = 16, kGenerationBits = 25;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr uint32_t kGenerationLimit = 1u << kGenerationBits;
static_assert(kValueBits + kSlotBits + kGenerationBits == 63, "handles stay positive");
static_assert(kMaxValues <= (1 << kValueBits), "every value has a handle");

int64_t makeHandle(uint32_t generation, uint32_t slot, int32_t value) {
  return int64_t(generation) << (kValueBits + kSlotBits) | int64_t(slot) << kValueBits | int64_t(value);
}

// A context taken from a handle: the message stays alive while it is held.
struct Context {
  std::shared_ptr<const Document> doc;
  int64_t messageHandle = 0;
  int32_t value = 0;
};

// Persistence threads prepare and read messages side by side: the slots are
// spread over shards of their own lock, and a thread prepares into the shard
// its identity picks (the next ones when that one is full), so that threads
// seldom meet on one lock. A handle's slot number names its shard.
class Registry {
 public:
  int64_t add(std::shared_ptr<const Document> doc) {
    static std::atomic<uint32_t> nextThread{0};
    thread_local uint32_t home = nextThread.fetch_add(1) % kShards;
    for (uint32_t i = 0; i < kShards; i++) {
      uint32_t shardIndex = (home + i) % kShards;
      Shard& shard = shards_[shardIndex];
      std::lock_guard<std::mutex> lock(shard.mutex);
      uint32_t local;
      if (!shard.free.empty()) {
        local = shard.free.back();
        shard.free.pop_back();
      } else if (shard.slots.size() < kSlotsPerShard) {
        local = uint32_t(shard.slots.size());
        shard.slots.emplace_back();
      } else {
        continue;
      }
      Slot& s = shard.slots[local];
      s.generation = s.generation + 1 < kGenerationLimit ? s.generation + 1 : 1;
      s.doc = std::move(doc);
      return makeHandle(s.generation, shardIndex * kSlotsPerShard + local, 0);
    }
    return 0;
  }

  bool find(int64_t handle, Context* context) {
    if (handle <= 0) return false;
    uint32_t generation = uint32_t(handle >> (kValueBits + kSlotBits));
    uint32_t slot = uint32_t(handle >> kValueBits) & (kSlots - 1);
    int32_t value = int32_t(handle & ((1 << kValueBits) - 1));
    Shard& shard = shards_[slot / kSlotsPerShard];
    uint32_t local = slot % kSlotsPerShard;
    std::lock_guard<std::mutex> lock(shard.mutex);
    if (local >= shard.slots.size() || !shard.slots[local].doc || shard.slots[local].generation != generation)
      return false;
    const Slot& s = shard.slots[local];
    // A message that is not JSON has no values; its only handle names it.
    if (value >= s.doc->size() && !(value == 0 && !s.doc->error().ok())) return false;
    context->doc = s.doc;
    context->messageHandle = makeHandle(generation, slot, 0);
    context->value = value;
    return true;
  }

  // Only a live message handle (value index 0) releases its message.
  void remove(int64_t handle) {
    if (handle <= 0 || (handle & ((1 << kValueBits) - 1)) != 0) return;
    uint32_t generation = uint32_t(handle >> (kValueBits + kSlotBits));
    uint32_t slot = uint32_t(handle >> kValueBits) & (kSlots - 1);
    Shard& shard = shards_[slot / kSlotsPerShard];
    uint32_t local = slot % kSlotsPerShard;
    std::shared_ptr<const Document> doomed;  // freed outside the lock
    std::lock_guard<std::mutex> lock(shard.mutex);
    if (local >= shard.slots.size() || !shard.slots[local].doc || shard.slots[local].generation != generation) return;
    doomed = std::move(shard.slots[local].doc);
    shard.free.push_back(local);
  }

 private:
  static constexpr uint32_t kShards = 16;
  static constexpr uint32_t kSlotsPerShard = kSlots / kShards;
  struct Slot {
    std::shared_ptr<const Document> doc;
    uint32_t generation = 0;
  };
  struct alignas(64) Shard {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::vector<uint32_t> free;
  };
  Shard shards_[kShards];
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: calls may come during exit
  return *instance;
}

// The error text is written only when there is an error.
int32_t report(const Outcome& o, char* errorText) {
  if (!o.ok()) copyMessage(o.message, errorText, STARLINGJSON_ERROR_TEXT_SIZE);
  return o.code;
}

Outcome checkBuffer(const void* buffer, int32_t bufferSize) {
  if (bufferSize < 0) return fail(STARLINGJSON_BAD_ARGUMENT, "The buffer size is negative");
  if (!buffer && bufferSize > 0) return fail(STARLINGJSON_BAD_ARGUMENT, "The buffer is NULL but has a size");
  return {};
}

// The context's value the path names: *found is -1 when absent.
Outcome locate(const char* path, int64_t handle, Context* context, int32_t* found) {
  if (!registry().find(handle, context))
    return fail(STARLINGJSON_BAD_CONTEXT,
                "The context " + std::to_string(handle) + " is not a prepared message or an element of one");
  if (!context->doc->error().ok()) return context->doc->error();
  if (!path) {
    *found = context->value;
    return {};
  }
  return context->doc->resolve(path, context->value, found);
}

Outcome fitsLength(size_t size) {
  if (size > size_t(INT32_MAX))
    return fail(STARLINGJSON_TOO_LARGE, "The value needs " + std::to_string(size) + " bytes, beyond 2147483647");
  return {};
}

thread_local std::string valueScratch, listScratch;

int32_t extract(const char* path, const Form& form, int64_t handle, void* buffer, int32_t bufferSize, int32_t* length,
                char* errorText) {
  if (!length) return report(fail(STARLINGJSON_BAD_ARGUMENT, "The length pointer is NULL"), errorText);
  *length = 0;
  Outcome o = checkBuffer(buffer, bufferSize);
  Context context;
  int32_t found = -1;
  if (o.ok()) o = locate(path, handle, &context, &found);
  if (!o.ok() || found < 0) return report(o, errorText);
  std::string& out = valueScratch;
  bool present = true;
  if (!path) {  // the context's own source, as JSON text
    out.clear();
    context.doc->appendJson(found, out);
    if (!form.binary) out.push_back('\0');
  } else {
    o = deliver(*context.doc, found, form, out, &present);
  }
  if (o.ok()) o = fitsLength(out.size());
  if (!o.ok() || !present || out.empty()) return report(o, errorText);
  *length = int32_t(out.size());
  if (out.size() > size_t(bufferSize)) return STARLINGJSON_BUFFER_TOO_SMALL;
  std::memcpy(buffer, out.data(), out.size());
  return 0;
}

void appendEntry(std::string& list, const std::string& entry) {
  int32_t length = int32_t(entry.size());
  list.append(reinterpret_cast<const char*>(&length), sizeof length);
  list.append(entry);
}

int32_t extractList(const char* path, const Form& form, int64_t handle, void* buffer, int32_t bufferSize,
                    int32_t* neededSize, int32_t* count, char* errorText) {
  if (!neededSize || !count)
    return report(fail(STARLINGJSON_BAD_ARGUMENT, "The needed size or count pointer is NULL"), errorText);
  *neededSize = 0;
  *count = 0;
  Outcome o = checkBuffer(buffer, bufferSize);
  Context context;
  int32_t found = -1;
  if (o.ok()) o = locate(path, handle, &context, &found);
  if (!o.ok() || found < 0) return report(o, errorText);
  const Document& doc = *context.doc;
  const Value& array = doc.at(found);
  if (array.kind == Kind::Null) return 0;
  if (array.kind != Kind::Array)
    return report(
        fail(STARLINGJSON_WRONG_TYPE, std::string("The member is ") + describe(array.kind) + ", not an array"),
        errorText);
  std::string& list = listScratch;
  std::string& entry = valueScratch;
  list.clear();
  int32_t position = 0;
  for (int32_t element = array.firstChild; element >= 0; element = doc.at(element).nextSibling, position++) {
    entry.clear();
    bool present = true;
    if (form.type == -1) {
      int64_t elementHandle = context.messageHandle | element;
      entry.append(reinterpret_cast<const char*>(&elementHandle), sizeof elementHandle);
    } else if (!(o = deliver(doc, element, form, entry, &present)).ok()) {
      return report(fail(o.code, "Element [" + std::to_string(position) + "]: " + o.message), errorText);
    }
    if (!(o = fitsLength(list.size() + sizeof(int32_t) + entry.size())).ok()) return report(o, errorText);
    appendEntry(list, entry);
  }
  *count = position;
  *neededSize = int32_t(list.size());
  if (list.size() > size_t(bufferSize)) return STARLINGJSON_BUFFER_TOO_SMALL;
  if (!list.empty()) std::memcpy(buffer, list.data(), list.size());
  return 0;
}

// No exception crosses the C boundary: a failed allocation (the only one the
// library can meet) becomes an error of the call.
int32_t exceptionCaught(char* errorText) {
  copyMessage("Not enough memory for the value", errorText, STARLINGJSON_ERROR_TEXT_SIZE);
  return STARLINGJSON_TOO_LARGE;
}

}  // namespace
}  // namespace sj

SJ_EXPORT int64_t mqttPrepare(const char* payload, uint64_t payloadLength) {
  if (!payload && payloadLength > 0) return 0;
  try {
    static const char empty = 0;
    auto doc = std::make_shared<const sj::Document>(payload ? payload : &empty, size_t(payloadLength));
    return sj::registry().add(std::move(doc));
  } catch (...) {
    return 0;
  }
}

SJ_EXPORT void mqttRelease(int64_t message) { sj::registry().remove(message); }

SJ_EXPORT int32_t mqttValidate(const char* propertyPath, char* errorText) {
  try {
    if (!propertyPath) return sj::report(sj::fail(STARLINGJSON_BAD_PATH, "Property path is NULL"), errorText);
    return sj::report(sj::validatePath(propertyPath), errorText);
  } catch (...) {
    return sj::exceptionCaught(errorText);
  }
}

SJ_EXPORT int32_t mqttExtract(const char* propertyPath, int32_t fieldType, bool binary, int32_t format, int64_t context,
                              void* buffer, int32_t bufferSize, int32_t* length, char* errorText) {
  try {
    return sj::extract(propertyPath, sj::Form{fieldType, binary, format, false}, context, buffer, bufferSize, length,
                       errorText);
  } catch (...) {
    return sj::exceptionCaught(errorText);
  }
}

SJ_EXPORT int32_t mqttExtractList(const char* propertyPath, int32_t fieldType, bool binary, int32_t format,
                                  int64_t context, void* buffer, int32_t bufferSize, int32_t* neededSize,
                                  int32_t* count, char* errorText) {
  try {
    return sj::extractList(propertyPath, sj::Form{fieldType, binary, format, true}, context, buffer, bufferSize,
                           neededSize, count, errorText);
  } catch (...) {
    return sj::exceptionCaught(errorText);
  }
}
