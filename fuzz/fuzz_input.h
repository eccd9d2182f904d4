// Helpers the harnesses share: the input's first bytes choose how the rest is
// fed (a split offset, a mode), copies of exactly the right size so a read past
// the end is a sanitizer report, and a check that aborts with a message.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace fuzz {

// A harness's own finding: the parser broke a promise of its contract.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// Reads the input front to back: small numbers from its first bytes, then the
// rest as the message.
class input {
 public:
  input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint16_t u16() { return uint16_t(byte() | (byte() << 8)); }
  // A number below n (0 for n == 0).
  size_t below(size_t n) { return n == 0 ? 0 : u16() % n; }

  // Text up to the next NUL byte (consumed), or to the end.
  std::string text() {
    const void *nul = size_ == 0 ? nullptr : std::memchr(data_, 0, size_);
    const size_t n = nul != nullptr ? size_t(static_cast<const uint8_t *>(nul) - data_) : size_;
    std::string out(reinterpret_cast<const char *>(data_), n);
    data_ += n;
    size_ -= n;
    if (nul != nullptr) byte();
    return out;
  }
  std::string rest() {
    std::string out(reinterpret_cast<const char *>(data_), size_);
    data_ += size_;
    size_ = 0;
    return out;
  }
  size_t left() const { return size_; }

 private:
  const uint8_t *data_;
  size_t size_;
};

// A heap block of exactly n bytes (at least one allocated, so never null).
class exact {
 public:
  exact(const void *bytes, size_t n) : block_(new char[n == 0 ? 1 : n]), size_(n) {
    if (n > 0) std::memcpy(block_.get(), bytes, n);
  }
  explicit exact(const std::string &s) : exact(s.data(), s.size()) {}
  char *data() { return block_.get(); }
  const char *data() const { return block_.get(); }
  uint8_t *bytes() { return reinterpret_cast<uint8_t *>(block_.get()); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<char[]> block_;
  size_t size_;
};

// A NUL-terminated copy of exactly the text and its NUL.
inline exact c_text(const std::string &s) { return exact(s.c_str(), s.size() + 1); }

// A fresh folder under /tmp for a harness's files (an engine's data root, a
// configuration), removed when the process exits; empty when none can be made.
inline std::string scratch_folder(const char *name) {
  static std::string folder;
  std::string pattern = std::string("/tmp/") + name + "_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::string();
  folder = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

// The folders of a web application run in process, laid out as the host lays
// them out, in a scratch folder: the document root <folder>/web (returned),
// the engine's data root <folder>/data (RAVLINK_DATA) and the working folder
// <folder>/bin; empty when they cannot be made.
inline std::string webapp_folders(const char *name) {
  const std::string root = scratch_folder(name);
  if (root.empty()) return std::string();
  std::error_code failed;
  std::filesystem::create_directories(root + "/web", failed);
  std::filesystem::create_directories(root + "/bin", failed);
  if (failed) return std::string();
  setenv("RAVLINK_DATA", (root + "/data").c_str(), 1);
  if (chdir((root + "/bin").c_str()) != 0) return std::string();
  return root + "/web";
}

}  // namespace fuzz
