// Growable byte buffers guarded by their own mutex, so a connection's receive
// and send buffers can be filled and drained from different threads.
//
// Ownership: the buffer owns its heap block; the owner of the buffer creates
// `mutex` (nev_mutex_create) before the first operation and closes it after the
// last; no buffer operation creates or closes it.
//
// Layout as seen by readers: `data` points at the first byte in use, `len`
// bytes are in use and `size` bytes are writable from `data` on (so
// `data + len .. data + size` is free room a reader of a socket may fill before
// raising `len`). len <= size always. Bytes dropped from the front are skipped
// by advancing `data` inside the block instead of moving the rest each time;
// `data` therefore need not be the start of the heap block: never free or
// realloc `data` yourself, use the operations below.
//
// Threading: every operation takes the buffer's mutex for its whole run, except
// where a `caller_holds_lock` flag says the caller already holds it. The mutex
// is recursive, so a thread holding it may call the locking operations too.
// Fields may be read directly only while holding the mutex (or when no other
// thread can touch the buffer).
#pragma once

#include <cstddef>

#include "nev_base.h"

struct nev_buffer {
  char *data;   // first byte in use; NULL when nothing is allocated
  size_t len;   // bytes in use from data
  size_t size;  // bytes allocated from data on (capacity)
  nev_mutex mutex;
  char *block;  // start of the heap block (data - block bytes were dropped)
};

// Empties the fields (old bytes are not freed) and, with a non-zero capacity,
// allocates a block of that size (left empty when that fails).
void nev_buffer_init(nev_buffer *buf, size_t capacity, int caller_holds_lock);
// Frees the bytes; data, len and size become 0. The mutex stays usable.
void nev_buffer_free(nev_buffer *buf);
// Appends count bytes (bytes NULL reserves them uninitialised but counted in
// len). Returns count, or 0 when count is 0 or memory runs out (the buffer is
// then unchanged).
size_t nev_buffer_append(nev_buffer *buf, const void *bytes, size_t count);
// Inserts at offset (offset <= len, else fatal). Returns as nev_buffer_append.
size_t nev_buffer_insert(nev_buffer *buf, size_t offset, const void *bytes, size_t count);
// The common growth and insertion step; the caller holds the mutex. Growth is
// 1.5 times the required size with at most 512 spare bytes.
size_t nev_buffer_insert_unlocked(nev_buffer *buf, size_t offset, const void *bytes, size_t count);
// Takes a malloc'd block: an empty buffer adopts it as its data (len = size =
// count, no copy); otherwise a copy is appended and the block freed. The block
// is always consumed. Returns count (0 when the copy could not be appended).
size_t nev_buffer_append_owned(nev_buffer *buf, void *block, size_t count);
// Removes count bytes from the front; nothing happens when count is 0 or more
// than len. Dropping everything keeps the whole block as capacity.
void nev_buffer_drop_front(nev_buffer *buf, size_t count);
// Sets the capacity: grows when larger, shrinks when smaller but not below len;
// 0 on an empty buffer releases the block. A failed reallocation leaves the
// buffer unchanged.
void nev_buffer_resize(nev_buffer *buf, size_t capacity, int caller_holds_lock);
// Resizes to the current length.
void nev_buffer_trim(nev_buffer *buf);
// len becomes 0; the block and its capacity stay.
void nev_buffer_clear(nev_buffer *buf);
// Locks `to`, then `from`; `to` takes from's bytes (its old bytes are freed),
// `from` becomes empty; each keeps its own mutex.
void nev_buffer_move(nev_buffer *from, nev_buffer *to);

// A byte collector that starts on a caller's fixed array and moves to a heap
// buffer (`spill`) once the array is full. The caller creates spill.mutex;
// nev_spill_init does not free earlier heap bytes, so call nev_spill_free
// before starting over.
struct nev_spill_buffer {
  nev_buffer spill;
  char *fixed;
  size_t len;         // bytes pushed so far
  size_t fixed_size;  // capacity of the fixed array
};

void nev_spill_init(nev_spill_buffer *sb, char *fixed, size_t fixed_size);
// Returns 1, or 0 when the heap part could not grow (the byte is lost).
int nev_spill_push(nev_spill_buffer *sb, char byte);
// 1 once more bytes were pushed than the fixed array holds.
int nev_spill_overflowed(const nev_spill_buffer *sb);
// The fixed array while it sufficed, else the heap part (trimmed first when
// `trim` is set). Not NUL-terminated; `len` bytes are valid.
char *nev_spill_data(nev_spill_buffer *sb, int trim);
// Frees the heap part and sets len 0 (the mutex stays).
void nev_spill_free(nev_spill_buffer *sb);
