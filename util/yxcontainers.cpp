// The non-template containers: the bounded queue and the parameter store.
#include "yxcontainers.h"

YXQueue::YXQueue(int queueCapacity) {
  if (queueCapacity < 1) YX_THROW("YXQueue::YXQueue", YX_KIND_ARGUMENT, YX_ERR_FULL, "Invalid queue capacity");
  yxdetail::allocArrayAndMutex(ring, mutex, queueCapacity, "YXQueue::YXQueue", YX_KIND_OPERATION,
                               "Couldn't allocate queue array");
  capacity = queueCapacity;
}

YXQueue::~YXQueue() {
  VOKTFree(ring);
  yxHandleClose(mutex);
}

int YXQueue::Push(void* element) {
  YXMutexLock hold(mutex);
  if (count >= capacity) return YX_ERR_FULL;
  ring[writeIndex] = element;
  ++count;
  writeIndex = (writeIndex + 1) % capacity;
  return 0;
}

void* YXQueue::Pull() {
  YXMutexLock hold(mutex);
  if (count == 0) return nullptr;
  void* element = ring[readIndex];
  ring[readIndex] = nullptr;
  readIndex = (readIndex + 1) % capacity;
  --count;
  return element;
}

int YXQueue::Count() {
  YXMutexLock hold(mutex);
  return count;
}

YXParamHash::~YXParamHash() {
  for (int32_t i = 0; i < count; ++i) {
    VOKTFree(entries[i]->key);
    VOKTFree(entries[i]->value);
    VOKTFree(entries[i]);
  }
}

void YXParamHash::Add(const char* key, const char* value) {
  if (count >= kMaxEntries)
    YX_THROW("YXParamHash::Add", YX_KIND_OPERATION, YX_ERR_FULL,
             "Couldn't add a new config key, because the has list is full");
  if (!key) key = "";
  if (!value) value = "";
  for (int32_t i = 0; i < count; ++i) {
    if (std::strcmp(entries[i]->key, key) == 0) {
      char* copy = dupStr(value);  // the old value stays when this throws
      VOKTFree(entries[i]->value);
      entries[i]->value = copy;
      return;
    }
  }
  auto* entry = static_cast<YXParamEntry*>(VOKTAlloc(static_cast<int>(sizeof(YXParamEntry))));
  if (!entry)
    YX_THROW("YXParamHash::Add", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate new hashed object into the table");
  entry->key = entry->value = nullptr;
  try {
    entry->key = dupStr(key);
    entry->value = dupStr(value);
  } catch (const YXException&) {
    VOKTFree(entry->key);
    VOKTFree(entry);
    YX_THROW("YXParamHash::Add", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't copy the hashed VALUE");
  }
  entries[count++] = entry;
}

const char* YXParamHash::Find(const char* key) const {
  if (!key) return nullptr;
  for (int32_t i = 0; i < count; ++i)
    if (std::strcmp(entries[i]->key, key) == 0) return entries[i]->value;
  return nullptr;
}
