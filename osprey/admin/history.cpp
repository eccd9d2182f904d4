// Saved versions of configuration files: <dir>/history/<base>_<version>.<ext>.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "admin.h"
#include "yxutil.h"

namespace osprey::admin {

namespace {

constexpr const char* kCurrent = "current";
constexpr const char* kDefault = "default";
constexpr int kMaxSameSecond = 999;  // saves within one second that keep a version each

struct ConfigName {
  std::string directory;  // up to the last '/'
  std::string base;       // between the last '/' and the last '.'
  std::string extension;  // after the last '.'
};

ConfigName splitConfigPath(const std::string& path) {
  char message[kMessageSize];
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    snprintf(message, sizeof message, "Couldn't find configuration file extension [%s] and it is required",
             path.c_str());
    YX_THROW("splitConfigPath", YX_KIND_ARGUMENT, kErrInvalid, message);
  }
  if (slash == std::string::npos) {
    snprintf(message, sizeof message, "Couldn't find configuration file name [%s]", path.c_str());
    YX_THROW("splitConfigPath", YX_KIND_ARGUMENT, kErrInvalid, message);
  }
  return {path.substr(0, slash), path.substr(slash + 1, dot - slash - 1), path.substr(dot + 1)};
}

std::string historyDirectory(const ConfigName& name) { return name.directory + "/history"; }

std::string versionFile(const ConfigName& name, const std::string& version) {
  return historyDirectory(name) + "/" + name.base + "_" + version + "." + name.extension;
}

bool digitsAt(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  for (size_t i = at; i < at + count; ++i)
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// "YYYY-MM-DD-hh-mm-ss", optionally "-<n>".
bool isTimeVersion(const std::string& text) {
  static const size_t kFields[][2] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}};
  if (text.size() < 19) return false;
  for (const auto& field : kFields)
    if (!digitsAt(text, field[0], field[1])) return false;
  for (size_t dash : {4, 7, 10, 13, 16})
    if (text[dash] != '-') return false;
  if (text.size() == 19) return true;
  if (text[19] != '-' || text.size() > 23 || !digitsAt(text, 20, text.size() - 20) || text[20] == '0') return false;
  int same = std::atoi(text.c_str() + 20);
  return same >= 2 && same <= kMaxSameSecond;
}

std::string localTimeVersion() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d-%H-%M-%S", &local);
  return text;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The file the present contents go to before a save: "default" the first
// time; then the time of the save, never one that is taken.
std::string nextVersionPath(const ConfigName& name) {
  std::string path = versionFile(name, kDefault);
  if (!exists(path)) return path;
  std::string stamp = localTimeVersion();
  path = versionFile(name, stamp);
  for (int same = 2; exists(path); ++same) {
    if (same > kMaxSameSecond)
      YX_THROW("saveConfigWithHistory", YX_KIND_OPERATION, kErrInvalid,
               "Too many saves of this configuration within one second");
    path = versionFile(name, stamp + "-" + std::to_string(same));
  }
  return path;
}

// "default" first, then by time (the text order of the stamps), a same-second
// suffix after the plain stamp.
bool versionOrder(const std::string& a, const std::string& b) {
  if (a == kDefault || b == kDefault) return a == kDefault && b != kDefault;
  std::string stampA = a.substr(0, 19);
  std::string stampB = b.substr(0, 19);
  if (stampA != stampB) return stampA < stampB;
  int sameA = a.size() > 19 ? std::atoi(a.c_str() + 20) : 1;
  int sameB = b.size() > 19 ? std::atoi(b.c_str() + 20) : 1;
  return sameA < sameB;
}

}  // namespace

bool isVersionName(const std::string& version) {
  return version == kCurrent || version == kDefault || isTimeVersion(version);
}

std::string historyPath(const std::string& configPath, const std::string& version) {
  return versionFile(splitConfigPath(configPath), version);
}

std::vector<std::string> listConfigVersions(const std::string& configPath) {
  ConfigName name = splitConfigPath(configPath);
  std::vector<std::string> versions;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(historyDirectory(name).c_str()), closedir);
  if (directory) {
    std::string prefix = name.base + "_";
    std::string suffix = "." + name.extension;
    while (dirent* entry = readdir(directory.get())) {
      std::string file = entry->d_name;
      if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
          file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      std::string version = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
      // Files of another base that shares this prefix ("a_b.cfg" next to
      // "a.cfg") and the temporaries of a save in progress are not versions.
      if (version != kCurrent && isVersionName(version)) versions.push_back(version);
    }
  }
  std::sort(versions.begin(), versions.end(), versionOrder);
  if (exists(configPath)) versions.insert(versions.begin(), kCurrent);
  return versions;
}

std::string saveConfigWithHistory(const std::string& configPath, const std::string& contents) {
  ConfigName name = splitConfigPath(configPath);
  // The history directory in its full form, built against the current one.
  std::string directory = historyDirectory(name);
  char full[kPathBufferSize];
  if (directory[0] == '/')
    yxJoinPath(directory.c_str(), "", full);
  else
    yxBuildFullPath(directory.c_str(), full);
  yxCheckDir(full);
  std::string saved = nextVersionPath(name);
  yxCopyFile(configPath.c_str(), saved.c_str());
  try {
    writeFileWhole(configPath, contents, 0600);
  } catch (const YXException&) {
    // The configuration is as it was: the copy is no version of it.
    unlink(saved.c_str());
    throw;
  }
  return saved;
}

void restoreConfigVersion(const std::string& configPath, const std::string& savedPath) {
  if (rename(savedPath.c_str(), configPath.c_str()) == 0) return;
  // Another file system: copy it back whole instead.
  yxCopyFile(savedPath.c_str(), configPath.c_str());
  unlink(savedPath.c_str());
}

}  // namespace osprey::admin
