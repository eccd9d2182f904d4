#include "nev_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Spare room after growth never exceeds this, so many idle connections keep
// small buffers.
constexpr size_t kMaxSpare = 512;

size_t front_slack(const nev_buffer *buf) {
  return buf->block == NULL ? 0 : static_cast<size_t>(buf->data - buf->block);
}

// Moves the bytes in use to the start of the block; their count is what the
// caller has already paid for by dropping at least as many bytes.
void compact(nev_buffer *buf) {
  size_t slack = front_slack(buf);
  if (slack == 0) return;
  if (buf->len > 0) memmove(buf->block, buf->data, buf->len);
  buf->data = buf->block;
  buf->size += slack;
}

size_t grown_capacity(size_t required) {
  if (required > SIZE_MAX - kMaxSpare) return required;
  if (required > kMaxSpare * 2) return required + kMaxSpare;  // 1.5 times would exceed the cap
  size_t capacity = static_cast<size_t>(static_cast<double>(required) * 1.5);
  return capacity - required > kMaxSpare ? required + kMaxSpare : capacity;
}

// Reallocates the block so that `capacity` bytes are usable from data. The
// front slack is kept: removing it would cost a move of every byte in use on
// each growth.
bool set_capacity(nev_buffer *buf, size_t capacity) {
  size_t slack = front_slack(buf);
  if (capacity > SIZE_MAX - slack) return false;
  char *block = static_cast<char *>(realloc(buf->block, slack + capacity));
  if (block == NULL) return false;
  buf->block = block;
  buf->data = block + slack;
  buf->size = capacity;
  return true;
}

void release_block(nev_buffer *buf) {
  free(buf->block);
  buf->block = NULL;
  buf->data = NULL;
  buf->len = 0;
  buf->size = 0;
}

class buffer_lock {
 public:
  buffer_lock(nev_buffer *buf, bool caller_holds) : mutex_(caller_holds ? NULL : buf->mutex) {
    if (!caller_holds) nev_mutex_lock(mutex_);
  }
  ~buffer_lock() {
    if (mutex_ != NULL) nev_mutex_unlock(mutex_);
  }
  buffer_lock(const buffer_lock &) = delete;
  buffer_lock &operator=(const buffer_lock &) = delete;

 private:
  nev_mutex mutex_;
};

}  // namespace

void nev_buffer_init(nev_buffer *buf, size_t capacity, int caller_holds_lock) {
  buffer_lock lock(buf, caller_holds_lock != 0);
  buf->data = NULL;
  buf->block = NULL;
  buf->len = 0;
  buf->size = 0;
  if (capacity == 0) return;
  char *block = static_cast<char *>(malloc(capacity));
  if (block == NULL) return;
  buf->data = buf->block = block;
  buf->size = capacity;
}

void nev_buffer_free(nev_buffer *buf) {
  nev_mutex_guard lock(buf->mutex);
  release_block(buf);
}

size_t nev_buffer_insert_unlocked(nev_buffer *buf, size_t offset, const void *bytes, size_t count) {
  NEV_ASSERT_TEXT(buf != NULL, "a != NULL");
  NEV_ASSERT_TEXT(buf->len <= buf->size, "a->len <= a->size");
  NEV_ASSERT_TEXT(offset <= buf->len, "off <= a->len");
  if (count > SIZE_MAX - buf->len - front_slack(buf)) return 0;

  size_t required = buf->len + count;
  if (required > buf->size) {
    size_t capacity = grown_capacity(required);
    if (!set_capacity(buf, capacity) && (capacity == required || !set_capacity(buf, required))) return 0;
  }
  if (offset != buf->len) memmove(buf->data + offset + count, buf->data + offset, buf->len - offset);
  if (bytes != NULL && count > 0) memcpy(buf->data + offset, bytes, count);
  buf->len += count;
  return count;
}

size_t nev_buffer_insert(nev_buffer *buf, size_t offset, const void *bytes, size_t count) {
  NEV_ASSERT_TEXT(buf != NULL, "a != NULL");
  nev_mutex_guard lock(buf->mutex);
  return nev_buffer_insert_unlocked(buf, offset, bytes, count);
}

size_t nev_buffer_append(nev_buffer *buf, const void *bytes, size_t count) {
  NEV_ASSERT_TEXT(buf != NULL, "a != NULL");
  nev_mutex_guard lock(buf->mutex);
  return nev_buffer_insert_unlocked(buf, buf->len, bytes, count);
}

size_t nev_buffer_append_owned(nev_buffer *buf, void *block, size_t count) {
  nev_mutex_guard lock(buf->mutex);
  if (block == NULL) return 0;
  if (buf->len == 0) {
    free(buf->block);
    buf->data = buf->block = static_cast<char *>(block);
    buf->len = buf->size = count;
    return count;
  }
  size_t appended = nev_buffer_insert_unlocked(buf, buf->len, block, count);
  free(block);
  return appended;
}

void nev_buffer_drop_front(nev_buffer *buf, size_t count) {
  nev_mutex_guard lock(buf->mutex);
  if (count == 0 || count > buf->len) return;
  buf->data += count;
  buf->len -= count;
  buf->size -= count;
  // Skipping the dropped bytes is what keeps a large reply drained in many
  // small writes linear; the rest is moved only once it is no longer than
  // what was dropped, so each byte moved was paid for by a byte dropped.
  if (front_slack(buf) >= buf->len) compact(buf);
}

void nev_buffer_resize(nev_buffer *buf, size_t capacity, int caller_holds_lock) {
  buffer_lock lock(buf, caller_holds_lock != 0);
  bool grow = capacity > buf->size;
  bool shrink = capacity < buf->size && capacity >= buf->len;
  if (!grow && !shrink) return;
  if (capacity == 0) {
    release_block(buf);
    return;
  }
  set_capacity(buf, capacity);
}

void nev_buffer_trim(nev_buffer *buf) {
  nev_mutex_guard lock(buf->mutex);
  nev_buffer_resize(buf, buf->len, 1);
}

void nev_buffer_clear(nev_buffer *buf) {
  nev_mutex_guard lock(buf->mutex);
  buf->len = 0;
  compact(buf);
}

void nev_buffer_move(nev_buffer *from, nev_buffer *to) {
  if (from == to) return;
  nev_mutex_guard lock_to(to->mutex);
  nev_mutex_guard lock_from(from->mutex);
  free(to->block);
  to->data = from->data;
  to->block = from->block;
  to->len = from->len;
  to->size = from->size;
  from->data = from->block = NULL;
  from->len = from->size = 0;
}

void nev_spill_init(nev_spill_buffer *sb, char *fixed, size_t fixed_size) {
  nev_buffer_init(&sb->spill, 0, 0);
  sb->fixed = fixed;
  sb->len = 0;
  sb->fixed_size = fixed_size;
}

int nev_spill_push(nev_spill_buffer *sb, char byte) {
  if (sb->len < sb->fixed_size) {
    sb->fixed[sb->len++] = byte;
    return 1;
  }
  nev_mutex_guard lock(sb->spill.mutex);
  if (sb->spill.len == 0 && sb->fixed_size > 0 &&
      nev_buffer_append(&sb->spill, sb->fixed, sb->fixed_size) != sb->fixed_size)
    return 0;
  int stored = nev_buffer_append(&sb->spill, &byte, 1) == 1;
  sb->len = sb->spill.len;
  return stored;
}

int nev_spill_overflowed(const nev_spill_buffer *sb) { return sb->len > sb->fixed_size ? 1 : 0; }

char *nev_spill_data(nev_spill_buffer *sb, int trim) {
  if (sb->len <= sb->fixed_size) return sb->fixed;
  if (trim) nev_buffer_trim(&sb->spill);
  return sb->spill.data;
}

void nev_spill_free(nev_spill_buffer *sb) {
  nev_buffer_free(&sb->spill);
  sb->len = 0;
}
