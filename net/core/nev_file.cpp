#include "nev_file.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "nev_log.h"

namespace {

// Length of the UTF-8 sequence starting at s (at most `left` bytes), or 0 when
// it is malformed: overlong forms, surrogates and code points past U+10FFFF
// are refused, as the platform's converters would not give them back.
size_t utf8_sequence_length(const unsigned char *s, size_t left) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned lowest_second = 0x80, highest_second = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lowest_second = 0xA0;
    if (c == 0xED) highest_second = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lowest_second = 0x90;
    if (c == 0xF4) highest_second = 0x8F;
  } else {
    return 0;
  }
  if (left < len) return 0;
  if (s[1] < lowest_second || s[1] > highest_second) return 0;
  for (size_t i = 2; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return len;
}

bool valid_utf8(const char *text, size_t len) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  for (size_t i = 0; i < len;) {
    size_t step = utf8_sequence_length(s + i, len - i);
    if (step == 0) return false;
    i += step;
  }
  return true;
}

}  // namespace

size_t nev_path_to_native(const char *path, char *out, size_t capacity) {
  if (out == NULL || capacity == 0) return 0;
  out[0] = '\0';
  if (path == NULL) return 0;
  size_t len = strlen(path);
  // A path cut to fit would name another file: refuse it whole.
  if (len >= capacity || !valid_utf8(path, len)) return 0;
  while (len > 1 && path[len - 1] == '/') len--;
  memcpy(out, path, len);
  out[len] = '\0';
  return len + 1;
}

int nev_file_stat(const char *path, struct stat *st) {
  char native[NEV_PATH_MAX];
  nev_path_to_native(path, native, sizeof native);
  int result = stat(native, st);
  NEV_LOG(4, ("[%s] -> %d", native, result));
  return result;
}

FILE *nev_fopen(const char *path, const char *mode) {
  char native[NEV_PATH_MAX];
  char native_mode[10];
  nev_path_to_native(path, native, sizeof native);
  if (mode == NULL || strlen(mode) + 2 > sizeof native_mode) {
    errno = EINVAL;
    return NULL;
  }
  snprintf(native_mode, sizeof native_mode, "%se", mode);
  return fopen(native, native_mode);
}

int nev_file_open(const char *path, int flags, int mode) {
  char native[NEV_PATH_MAX];
  nev_path_to_native(path, native, sizeof native);
  return open(native, flags | O_CLOEXEC, mode);
}

size_t nev_file_read(void *ptr, size_t size, size_t count, FILE *stream) { return fread(ptr, size, count, stream); }

size_t nev_file_write(const void *ptr, size_t size, size_t count, FILE *stream) {
  return fwrite(ptr, size, count, stream);
}

struct nev_dir {
  DIR *listing;  // NULL once exhausted, or when it could not be read
  char entry[260];
};

nev_dir *nev_dir_open(const char *path) {
  if (path == NULL) {
    errno = EINVAL;
    return NULL;
  }
  char native[NEV_PATH_MAX];
  nev_path_to_native(path, native, sizeof native);
  struct stat st;
  if (stat(native, &st) != 0) return NULL;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return NULL;
  }
  nev_dir *dir = new (std::nothrow) nev_dir;
  if (dir == NULL) {
    errno = ENOMEM;
    return NULL;
  }
  // A directory that exists but cannot be read lists as empty.
  dir->listing = opendir(native);
  dir->entry[0] = '\0';
  return dir;
}

const char *nev_dir_next(nev_dir *dir) {
  if (dir == NULL) {
    errno = EINVAL;
    return NULL;
  }
  if (dir->listing != NULL) {
    struct dirent *de = readdir(dir->listing);
    if (de != NULL) {
      snprintf(dir->entry, sizeof dir->entry, "%s", de->d_name);
      return dir->entry;
    }
    closedir(dir->listing);
    dir->listing = NULL;
  }
  errno = ENOENT;
  return NULL;
}

int nev_dir_close(nev_dir *dir) {
  if (dir == NULL) {
    errno = EINVAL;
    return -1;
  }
  int result = dir->listing != NULL ? closedir(dir->listing) : 0;
  delete dir;
  return result != 0 ? -1 : 0;
}
