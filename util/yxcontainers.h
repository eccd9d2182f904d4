// Containers of the utility library: sorted keyed tables (YXHashTable,
// YXHashIntTable), a growable list (YXList), a bounded ring (YXQueue) and a
// small key/value store (YXParamHash). Included through yxutil.h.
//
// Threading: every container but YXParamHash carries its own re-entrant mutex
// (`mutex`); each operation takes it, waiting without limit. Reads return the
// value pointer after the mutex is released: the caller must know the value
// stays alive. To walk the items in place, take the mutex (Lock), read `count`
// and `items` directly, and Unlock; operations called during the walk do not
// block the walker. A container is created before the threads that share it
// and destroyed after they end.
//
// Errors: YXException thrown with the container's mutex released and the
// container unchanged. The public fields are part of the interface (callers
// walk them, other deliverables share the layout); change them only under the
// mutex.
#ifndef YXCONTAINERS_H
#define YXCONTAINERS_H

#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "yxaux.h"

namespace yxdetail {

constexpr int32_t kGrowStep = 100;

// Deletes an owned value. A table of `void` values should not own them; if it
// does, the block is given back to operator delete.
template <class T>
inline void deleteValue(T* value) {
  if constexpr (std::is_void_v<T>)
    ::operator delete(value);
  else
    delete value;
}

inline int compareKeys(const char* a, const char* b) { return std::strcmp(a, b); }
inline int compareKeys(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
inline bool isNullKey(const char* key) { return key == nullptr; }
inline bool isNullKey(int32_t) { return false; }

// A VOKTAlloc array of `slots` null pointers, or null (also for sizes that do
// not fit an int).
template <class P>
inline P* allocPointerArray(int32_t slots) {
  if (slots < 0 || static_cast<int64_t>(slots) * static_cast<int64_t>(sizeof(P)) > INT_MAX) return nullptr;
  P* array = static_cast<P*>(VOKTAlloc(static_cast<int>(slots * sizeof(P))));
  if (array) std::memset(static_cast<void*>(array), 0, slots * sizeof(P));
  return array;
}

// A container's start: a zeroed array of `slots` pointers and a new mutex.
// Either failure throws (an array that cannot be had as function/kind/8001/
// message, the mutex as yxMutexCreate does) with nothing left allocated.
template <class P>
inline void allocArrayAndMutex(P*& array, YX_MUTEX& mutex, int32_t slots, const char* function, int kind,
                               const char* message) {
  VOKTBlock<P> owner(allocPointerArray<P>(slots));
  if (!owner) YX_THROW(function, kind, YX_ERR_ALLOC, message);
  mutex = yxMutexCreate();
  array = owner.release();
}

// Grows `array` from `capacity` slots by kGrowStep, keeping the first `count`
// entries. On failure nothing changes and false is returned.
template <class P>
inline bool growPointerArray(P*& array, int32_t& capacity, int32_t count) {
  if (capacity > INT32_MAX - kGrowStep) return false;
  P* grown = allocPointerArray<P>(capacity + kGrowStep);
  if (!grown) return false;
  if (count > 0) std::memcpy(static_cast<void*>(grown), array, count * sizeof(P));
  VOKTFree(array);
  array = grown;
  capacity += kGrowStep;
  return true;
}

}  // namespace yxdetail

// ---------------------------------------------------------------------------
// Items
// ---------------------------------------------------------------------------

// One entry of a YXHashTable: its own copy of the key (dupStr, freed with
// VOKTFree) and the value, deleted with the item when `owns` is set.
template <class T>
class YXHashItem {
 public:
  YXHashItem(const char* itemKey, T* itemValue, uint8_t itemOwns)
      : key(dupStr(itemKey)), value(itemValue), owns(itemOwns) {}
  virtual ~YXHashItem() {
    VOKTFree(key);
    if (owns && value) yxdetail::deleteValue(value);
  }
  YXHashItem(const YXHashItem&) = delete;
  YXHashItem& operator=(const YXHashItem&) = delete;

  char* key;
  T* value;
  uint8_t owns;
};

// One entry of a YXHashIntTable.
template <class T>
class YXHashIntItem {
 public:
  YXHashIntItem(int32_t itemKey, T* itemValue, uint8_t itemOwns) : key(itemKey), value(itemValue), owns(itemOwns) {}
  virtual ~YXHashIntItem() {
    if (owns && value) yxdetail::deleteValue(value);
  }
  YXHashIntItem(const YXHashIntItem&) = delete;
  YXHashIntItem& operator=(const YXHashIntItem&) = delete;

  int32_t key;
  T* value;
  uint8_t owns;
};

// ---------------------------------------------------------------------------
// Sorted keyed table (shared by YXHashTable and YXHashIntTable)
// ---------------------------------------------------------------------------

// Items kept in one array sorted by key (strings as strcmp orders them, case
// sensitive; ints as signed numbers), found by binary search, no two equal
// keys. The array grows by 100 slots when full and never shrinks.
template <class Key, class Item, class T>
class YXSortedTable {
 public:
  YXSortedTable(const YXSortedTable&) = delete;
  YXSortedTable& operator=(const YXSortedTable&) = delete;

  // Destroys every item (deleting the values it owns), frees the array and
  // closes the mutex. No thread may use or wait for the table any more.
  virtual ~YXSortedTable() {
    yxMutexLock(mutex);
    _destroyItems();
    yxMutexRelease(mutex);
    VOKTFree(items);
    yxHandleClose(mutex);
  }

  // The value of key, or null when the key is absent or null.
  T* Get(Key key) {
    YXMutexLock hold(mutex);
    int index = _find(key);
    return index < 0 ? nullptr : items[index]->value;
  }

  // Destroys the item of key; its value is deleted when the item owns it and
  // deleteValue is true. The cursor is pulled back inside the remaining items.
  // Absent key: throws "<table>::Remove", kind 2, 100, "Key not found".
  void Remove(Key key, bool deleteValue = true) {
    Item* removed = nullptr;
    {
      YXMutexLock hold(mutex);
      int index = _find(key);
      if (index >= 0) removed = _takeOut(index);
    }
    if (!removed) YX_THROW(removeName_, YX_KIND_NOT_FOUND, YX_ERR_NOT_FOUND, "Key not found");
    if (!deleteValue) removed->owns = 0;
    delete removed;
  }

  // Index of key by binary search, or -1. The caller holds the mutex.
  int _find(Key key) const {
    if (yxdetail::isNullKey(key)) return -1;
    int low = 0;
    int high = count - 1;
    while (low <= high) {
      int middle = low + (high - low) / 2;
      int order = yxdetail::compareKeys(key, items[middle]->key);
      if (order < 0)
        high = middle - 1;
      else if (order > 0)
        low = middle + 1;
      else
        return middle;
    }
    return -1;
  }

  // Clears `walking`; sets the cursor to 0 and returns the first value, or
  // null when the table is empty. Takes the mutex only for the call.
  T* GetFirst() {
    YXMutexLock hold(mutex);
    walking = 0;
    if (count == 0) return nullptr;
    cursor = 0;
    return items[0]->value;
  }

  // Moves the cursor to the next item and returns its value; null at the end.
  T* GetNext() {
    YXMutexLock hold(mutex);
    if (cursor + 1 >= count) return nullptr;
    ++cursor;
    return items[cursor]->value;
  }

  // Destroys every item (deleting owned values); count and cursor become 0.
  void Clear() {
    YXMutexLock hold(mutex);
    _destroyItems();
  }

  int Count() {
    YXMutexLock hold(mutex);
    return count;
  }

  // Takes / releases the table's mutex for a walk over the items in place.
  void Lock() { yxMutexLock(mutex); }
  void Unlock() { yxMutexRelease(mutex); }

  int32_t capacity = 0;      // item slots allocated
  int32_t count = 0;         // items in slots 0 .. count-1
  Item** items = nullptr;    // sorted by key
  int32_t cursor = 0;        // position a walk has reached
  YX_MUTEX mutex = nullptr;  // re-entrant
  uint8_t ownsValues = 1;    // copied into each new item
  uint8_t walking = 0;       // set by a caller during a long walk; informative

 protected:
  YXSortedTable(int initialCapacity, const char* constructorName, const char* removeName) : removeName_(removeName) {
    yxdetail::allocArrayAndMutex(items, mutex, initialCapacity, constructorName, YX_KIND_SYSTEM,
                                 "Couldn't allocate list array");
    capacity = initialCapacity;
  }

  // Inserts a new item at its sorted place. An equal key keeps the present
  // item (returns false, value not taken) unless replace is set, in which case
  // the present item is destroyed and the new one takes its slot.
  bool _insert(Key key, T* value, bool replace) {
    if (yxdetail::isNullKey(key)) return false;
    Item* replaced = nullptr;
    {
      YXMutexLock hold(mutex);
      int place = _lowerBound(key);
      bool present = place < count && yxdetail::compareKeys(key, items[place]->key) == 0;
      if (present && !replace) return false;
      if (!present && count == capacity && !yxdetail::growPointerArray(items, capacity, count))
        YX_THROW("YXHashTable::_checkCapacity", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Not able to allocate hash list");
      Item* item = new Item(key, value, ownsValues);
      if (present) {
        replaced = items[place];
        items[place] = item;
      } else {
        std::memmove(static_cast<void*>(items + place + 1), items + place, (count - place) * sizeof(Item*));
        items[place] = item;
        ++count;
      }
    }
    if (replaced) {
      // Re-adding the very value under its own key must not delete it.
      if (replaced->value == value) replaced->owns = 0;
      delete replaced;
    }
    return true;
  }

 private:
  // First index whose key is not less than key.
  int _lowerBound(Key key) const {
    int low = 0;
    int high = count;
    while (low < high) {
      int middle = low + (high - low) / 2;
      if (yxdetail::compareKeys(items[middle]->key, key) < 0)
        low = middle + 1;
      else
        high = middle;
    }
    return low;
  }

  Item* _takeOut(int index) {
    Item* item = items[index];
    std::memmove(static_cast<void*>(items + index), items + index + 1, (count - index - 1) * sizeof(Item*));
    --count;
    items[count] = nullptr;
    if (cursor >= count) cursor = count > 0 ? count - 1 : 0;
    return item;
  }

  void _destroyItems() {
    for (int32_t i = 0; i < count; ++i) {
      delete items[i];
      items[i] = nullptr;
    }
    count = 0;
    cursor = 0;
  }

  const char* removeName_;
};

// A map from a text key to T*, kept sorted; see YXSortedTable.
template <class T>
class YXHashTable : public YXSortedTable<const char*, YXHashItem<T>, T> {
  using Base = YXSortedTable<const char*, YXHashItem<T>, T>;

 public:
  // Out of memory: "YXHashTable::YXHashTable", kind 0, 8001,
  // "Couldn't allocate list array".
  explicit YXHashTable(int initialCapacity = 100)
      : Base(initialCapacity, "YXHashTable::YXHashTable", "YXHashTable::Remove") {}

  // Inserts a copy of key with value. Returns true when the item went in; the
  // table then owns value when `ownsValues` is set. Returns false, and does
  // not take value (the caller still owns it and must free or keep it), when
  // the key is already present (the first value stays) or null. A full array
  // that cannot grow throws "YXHashTable::_checkCapacity", kind 0, 8001,
  // "Not able to allocate hash list"; a key that cannot be copied throws
  // "dupStr" 8001; value is not taken then either.
  [[nodiscard]] bool Add(const char* key, T* value) { return Base::_insert(key, value, false); }

  // Clears `walking`; the first key (owned by the table), or null when empty.
  const char* GetFirstKey() {
    YXMutexLock hold(this->mutex);
    this->walking = 0;
    if (this->count == 0) return nullptr;
    this->cursor = 0;
    return this->items[0]->key;
  }
};

// A map from an int key to T*, kept sorted; see YXSortedTable.
template <class T>
class YXHashIntTable : public YXSortedTable<int32_t, YXHashIntItem<T>, T> {
  using Base = YXSortedTable<int32_t, YXHashIntItem<T>, T>;

 public:
  // Out of memory: "YXHashIntTable::YXHashIntTable", kind 0, 8001.
  explicit YXHashIntTable(int initialCapacity = 100)
      : Base(initialCapacity, "YXHashIntTable::YXHashIntTable", "YXHashIntTable::Remove") {}

  // Inserts key with value; a key already present is replaced (its item is
  // destroyed, its value deleted when owned, unless it is this same value).
  // The table then owns value when `ownsValues` is set. Growth failure throws
  // "YXHashTable::_checkCapacity", kind 0, 8001 (value not taken).
  void Add(int32_t key, T* value) { Base::_insert(key, value, true); }
};

// ---------------------------------------------------------------------------
// YXList
// ---------------------------------------------------------------------------

// A growable array of T*, which the list owns: deleting the list deletes every
// element (T needs a virtual destructor when elements are of derived types).
// Removing an element does not delete it.
template <class T>
class YXList {
 public:
  // Out of memory: "YXList::YXList", kind 0, 8001, "Couldn't allocate list array".
  explicit YXList(int initialCapacity = 100) {
    yxdetail::allocArrayAndMutex(items, mutex, initialCapacity, "YXList::YXList", YX_KIND_SYSTEM,
                                 "Couldn't allocate list array");
    capacity = initialCapacity;
  }
  YXList(const YXList&) = delete;
  YXList& operator=(const YXList&) = delete;

  virtual ~YXList() {
    yxMutexLock(mutex);
    for (int32_t i = 0; i < count; ++i) delete items[i];
    count = 0;
    yxMutexRelease(mutex);
    VOKTFree(items);
    yxHandleClose(mutex);
  }

  // Appends object. A full array that cannot grow throws
  // "YXList::_checkCapacity", kind 0, 8001, "Not able to allocate hash list"
  // (object not taken).
  void Add(T* object) {
    YXMutexLock hold(mutex);
    if (count == capacity && !yxdetail::growPointerArray(items, capacity, count))
      YX_THROW("YXList::_checkCapacity", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Not able to allocate hash list");
    items[count++] = object;
  }

  // The element at index. Out of range: "YXList::Get", kind 2, 100, "Invalid index".
  T* Get(int index) {
    YXMutexLock hold(mutex);
    if (index < 0 || index >= count) YX_THROW("YXList::Get", YX_KIND_NOT_FOUND, YX_ERR_NOT_FOUND, "Invalid index");
    return items[index];
  }

  // Removes the element at index (not deleted); later elements move down.
  // Out of range: "YXList::Remove", kind 2, 100, "Invalid index".
  void Remove(int index) {
    YXMutexLock hold(mutex);
    if (index < 0 || index >= count) YX_THROW("YXList::Remove", YX_KIND_NOT_FOUND, YX_ERR_NOT_FOUND, "Invalid index");
    _takeOut(index);
  }

  // Removes the first element equal to object (not deleted). None:
  // "YXList::Remove", kind 2, 100, "Object not found".
  void Remove(T* object) {
    YXMutexLock hold(mutex);
    for (int32_t i = 0; i < count; ++i) {
      if (items[i] == object) {
        _takeOut(i);
        return;
      }
    }
    YX_THROW("YXList::Remove", YX_KIND_NOT_FOUND, YX_ERR_NOT_FOUND, "Object not found");
  }

  // True when object is in the list.
  bool Contains(const T* object) {
    YXMutexLock hold(mutex);
    for (int32_t i = 0; i < count; ++i)
      if (items[i] == object) return true;
    return false;
  }

  int Count() {
    YXMutexLock hold(mutex);
    return count;
  }

  // A walk: GetFirst takes the mutex and KEEPS it, sets the cursor to 0 and
  // returns element 0 (null when empty); GetNext moves the cursor on while it
  // is below count - 1 and returns that element (null at the end); every walk,
  // an empty one too, ends with Unlock.
  T* GetFirst() {
    yxMutexLock(mutex);
    cursor = 0;
    return count > 0 ? items[0] : nullptr;
  }
  T* GetNext() {
    YXMutexLock hold(mutex);
    if (cursor >= count - 1) return nullptr;
    ++cursor;
    return items[cursor];
  }
  void Lock() { yxMutexLock(mutex); }
  void Unlock() { yxMutexRelease(mutex); }

  int32_t capacity = 0;
  int32_t count = 0;
  T** items = nullptr;
  YX_MUTEX mutex = nullptr;
  int32_t cursor = 0;

 private:
  void _takeOut(int index) {
    std::memmove(static_cast<void*>(items + index), items + index + 1, (count - index - 1) * sizeof(T*));
    --count;
    items[count] = nullptr;
    if (cursor >= count) cursor = count > 0 ? count - 1 : 0;
  }
};

// ---------------------------------------------------------------------------
// YXQueue
// ---------------------------------------------------------------------------

// A bounded FIFO ring of pointers. It never owns its elements: deleting the
// queue frees the ring only.
class YXQueue {
 public:
  // capacity below 1: "YXQueue::YXQueue", kind 3, 8004, "Invalid queue capacity".
  // Out of memory: "YXQueue::YXQueue", kind 1, 8001, "Couldn't allocate queue array".
  explicit YXQueue(int capacity);
  virtual ~YXQueue();
  YXQueue(const YXQueue&) = delete;
  YXQueue& operator=(const YXQueue&) = delete;

  // Appends element: 0, or 8004 when the ring is full (nothing changes).
  int Push(void* element);
  // The oldest element, or null when the queue is empty.
  void* Pull();
  int Count();

  int32_t writeIndex = 0;
  int32_t readIndex = 0;
  int32_t count = 0;
  int32_t capacity = 0;
  void** ring = nullptr;
  YX_MUTEX mutex = nullptr;
};

// ---------------------------------------------------------------------------
// YXParamHash
// ---------------------------------------------------------------------------

// One key/value entry: a VOKTAlloc block holding two dupStr copies.
struct YXParamEntry {
  char* key;
  char* value;
};

// Up to 63 key/value texts, compared byte for byte. No mutex: its owner
// serialises access.
class YXParamHash {
 public:
  static constexpr int kMaxEntries = 63;

  YXParamHash() = default;
  virtual ~YXParamHash();
  YXParamHash(const YXParamHash&) = delete;
  YXParamHash& operator=(const YXParamHash&) = delete;

  // Stores a copy of value under key, replacing an equal key's value; a null
  // value is stored as "" (a null key likewise). With 63 entries stored it
  // throws "YXParamHash::Add", kind 1, 8004, "Couldn't add a new config key,
  // because the has list is full" before any search (a full store refuses a
  // replacement too). Out of memory (kind 0, 8001): "Couldn't allocate new
  // hashed object into the table" or "Couldn't copy the hashed VALUE"; the
  // store is then unchanged.
  void Add(const char* key, const char* value);
  // The value of key (owned by the store), or null when absent or key is null.
  const char* Find(const char* key) const;

  YXParamEntry* entries[kMaxEntries] = {};
  int32_t count = 0;
};

#endif  // YXCONTAINERS_H
