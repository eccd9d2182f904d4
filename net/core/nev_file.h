// Files and directories by UTF-8 path, for static-file serving, CGI and SSI.
// Paths are checked before use: trailing '/' are removed (never a leading
// one) and a path that is not valid UTF-8 or does not fit becomes the empty
// path, so the call that follows fails as for a missing file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

// Longest path handled, NUL included.
constexpr size_t NEV_PATH_MAX = 4096;

// Copies path into out (capacity bytes) without trailing '/' characters.
// Returns the bytes written including the NUL, or 0 with out set to "" when
// the path is NULL, not valid UTF-8 or longer than capacity - 1.
size_t nev_path_to_native(const char *path, char *out, size_t capacity);

// stat() of the checked path; logs "[%s] -> %d" at level 4.
int nev_file_stat(const char *path, struct stat *st);
// fopen() of the checked path; the stream is close-on-exec.
FILE *nev_fopen(const char *path, const char *mode);
// open() of the checked path; the descriptor is close-on-exec.
int nev_file_open(const char *path, int flags, int mode);
size_t nev_file_read(void *ptr, size_t size, size_t count, FILE *stream);
size_t nev_file_write(const void *ptr, size_t size, size_t count, FILE *stream);

// An open directory listing. Entries come in the file system's order, "." and
// ".." included. Not shared between threads.
struct nev_dir;

// NULL with errno EINVAL (NULL path), ENOMEM, or the error of opening (the
// path must name a directory).
nev_dir *nev_dir_open(const char *path);
// The next entry name (valid until the next call), or NULL with errno ENOENT
// at the end (EINVAL for a NULL dir).
const char *nev_dir_next(nev_dir *dir);
// Closes and frees; 0, or -1 (errno EINVAL for NULL, or the close error).
int nev_dir_close(nev_dir *dir);

// Owns a file descriptor: closed with its owner unless released.
class nev_unique_fd {
 public:
  nev_unique_fd() : fd_(-1) {}
  explicit nev_unique_fd(int fd) : fd_(fd) {}
  ~nev_unique_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  nev_unique_fd(nev_unique_fd &&o) noexcept : fd_(o.release()) {}
  nev_unique_fd &operator=(nev_unique_fd &&o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = o.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};
