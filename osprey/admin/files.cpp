// File and directory helpers of the administration application.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "admin.h"
#include "yxutil.h"

namespace fs = std::filesystem;

namespace osprey::admin {

namespace {

constexpr int32_t kAlreadyThere = 183;

[[noreturn]] void throwErrno(const char* function, int code, const char* format, const std::string& path) {
  char prefix[kMessageSize];
  snprintf(prefix, sizeof prefix, format, path.c_str());
  yxThrowSysError(function, code, prefix, __FILE__, __LINE__);
}

[[noreturn]] void throwInvalid(const char* function, const char* format, const std::string& path) {
  char message[kMessageSize];
  snprintf(message, sizeof message, format, path.c_str());
  YX_THROW(function, YX_KIND_ARGUMENT, kErrInvalid, message);
}

void copyToBuffer(const char* function, const std::string& text, char* output) {
  if (text.size() >= kPathBufferSize) throwInvalid(function, "Path too long [%.200s...]", text);
  std::memcpy(output, text.c_str(), text.size() + 1);
}

struct FdCloser {
  void operator()(int* fd) const {
    if (*fd >= 0) close(*fd);
    delete fd;
  }
};

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// "<dir>/.<name>.XXXXXX<ext>": hidden, and with the target's extension, so a
// pattern that hides the target (such as "**.set$") hides it too.
std::string temporaryTemplate(const std::string& path, size_t* suffixLength) {
  fs::path target(path);
  std::string extension = target.extension().string();
  std::string stem = target.stem().string();
  *suffixLength = extension.size();
  fs::path directory = target.parent_path();
  std::string name = "." + stem + ".XXXXXX" + extension;
  return directory.empty() ? name : (directory / name).string();
}

}  // namespace

int32_t yxCheckDir(const char* path) {
  std::error_code error;
  if (fs::is_directory(path, error)) return kAlreadyThere;
  if (fs::create_directories(path, error)) {
    // The history of configurations holds credentials: for this account only.
    chmod(path, 0700);
    return 0;
  }
  if (!error && fs::is_directory(path, error)) return kAlreadyThere;
  throwErrno("yxCheckDir", error ? error.value() : ENOTDIR, "Couldn't check directory tree [%s]", path);
}

void yxDeleteFileDir(const char* path) {
  std::error_code error;
  fs::remove_all(path, error);
  if (error && error != std::errc::no_such_file_or_directory)
    throwErrno("yxDeleteFileDir", error.value(), "Couldn't delete file/directory [%s]", path);
}

void yxCopyFile(const char* source, const char* target) {
  std::string contents;
  std::string message;
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(source, "rb"), fclose);
  if (!file) throwErrno("yxCopyFile", errno, "Couldn't find source file [%s]", source);
  char chunk[8192];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) contents.append(chunk, got);
  if (ferror(file.get())) throwErrno("yxCopyFile", errno != 0 ? errno : EIO, "Couldn't read source file [%s]", source);
  writeFileWhole(target, contents, 0600);
}

void yxValidatePath(char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr)
    throwErrno("yxValidatePath", errno, "Not able to check directory [%s]", path);
  copyToBuffer("yxValidatePath", resolved, path);
}

int32_t yxGetCurrentDir(char* buffer) {
  if (getcwd(buffer, kPathBufferSize) == nullptr) return errno;
  try {
    yxValidatePath(buffer);
  } catch (const YXException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

void yxJoinPath(const char* base, const char* relative, char* output) {
  if (base == nullptr) return;
  std::string joined = base;
  std::string rest = relative != nullptr ? relative : "";
  size_t at = 0;
  for (;;) {
    if (rest.compare(at, 2, "./") == 0 || rest.compare(at, 2, ".\\") == 0) {
      at += 2;
    } else if (rest.compare(at, 3, "../") == 0 || rest.compare(at, 3, "..\\") == 0) {
      at += 3;
      // One level off, keeping the separator before it; never the root.
      while (!joined.empty() && (joined.back() == '/' || joined.back() == '\\')) joined.pop_back();
      size_t separator = joined.find_last_of("/\\");
      if (separator == std::string::npos || separator == 0)
        throwInvalid("yxJoinPath", "Relative path climbs above the root [%s]", rest);
      joined.erase(separator + 1);
    } else {
      break;
    }
  }
  rest.erase(0, at);
  // What is left may not climb either.
  for (size_t start = 0; start <= rest.size();) {
    size_t end = rest.find_first_of("/\\", start);
    if (end == std::string::npos) end = rest.size();
    if (rest.compare(start, end - start, "..") == 0 && end - start == 2)
      throwInvalid("yxJoinPath", "Relative path climbs above the root [%s]", rest);
    start = end + 1;
  }
  if (!rest.empty()) {
    if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') joined += '/';
    joined += rest;
  }
  copyToBuffer("yxJoinPath", joined, output);
}

void yxBuildFullPath(const char* relative, char* output) {
  char current[kPathBufferSize];
  int32_t code = yxGetCurrentDir(current);
  if (code != 0) YX_THROW("yxBuildFullPath", YX_KIND_SYSTEM, code, "Couldn't retrieve current working directory");
  yxJoinPath(current, relative, output);
}

void writeFileWhole(const std::string& path, const std::string& contents, mode_t mode) {
  size_t suffixLength = 0;
  std::string name = temporaryTemplate(path, &suffixLength);
  std::unique_ptr<int, FdCloser> fd(new int(mkstemps(name.data(), static_cast<int>(suffixLength))));
  if (*fd < 0) throwErrno("writeFileWhole", errno, "Couldn't create the file [%s]", path);
  auto fail = [&](const char* format) {
    int code = errno != 0 ? errno : EIO;
    unlink(name.c_str());
    throwErrno("writeFileWhole", code, format, path);
  };
  if (fchmod(*fd, mode) != 0) fail("Couldn't set the mode of the file [%s]");
  if (!writeAll(*fd, contents.data(), contents.size())) fail("Not able to write the file [%s]");
  if (fsync(*fd) != 0) fail("Not able to write the file [%s]");
  int descriptor = *fd;
  *fd = -1;
  if (close(descriptor) != 0) fail("Not able to write the file [%s]");
  if (rename(name.c_str(), path.c_str()) != 0) fail("Couldn't replace the file [%s]");
}

bool readFileWhole(const std::string& path, size_t maxBytes, std::string* contents, std::string* message) {
  char text[kMessageSize];
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
  if (!file) {
    snprintf(text, sizeof text, "Not able to open service configuration file [%s]", path.c_str());
    *message = text;
    return false;
  }
  contents->clear();
  char chunk[8192];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (contents->size() + got > maxBytes) {
      snprintf(text, sizeof text, "Not able to allocate service configuration buffer. Buffer size [%zu]",
               contents->size() + got);
      *message = text;
      return false;
    }
    contents->append(chunk, got);
  }
  if (ferror(file.get()) || contents->empty()) {
    snprintf(text, sizeof text, "Not able to load service configuration from file [%s]", path.c_str());
    *message = text;
    return false;
  }
  return true;
}

bool pathIsUnder(const std::string& path, const std::string& root) {
  std::error_code error;
  fs::path resolvedRoot = fs::weakly_canonical(fs::absolute(root, error), error);
  if (error) return false;
  fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
  if (error) return false;
  auto mismatch = std::mismatch(resolvedRoot.begin(), resolvedRoot.end(), resolved.begin(), resolved.end());
  // A trailing separator of the root is an empty last element.
  return mismatch.first == resolvedRoot.end() ||
         (std::next(mismatch.first) == resolvedRoot.end() && mismatch.first->empty());
}

}  // namespace osprey::admin
