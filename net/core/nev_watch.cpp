// Change notices for kept files: one inotify descriptor for the process,
// polled by every manager, and the registry of what it watches.
#include "nev_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Paths (files, and the misses that cannot be watched) the registry holds at
// most, and watches (files and directories) it places at most: a client
// asking for ever new names makes neither grow past these; what finds the
// registry full is checked with a stat per request.
constexpr size_t kMaxPaths = 4096;
constexpr size_t kMaxWatches = 8192;

// What changes the outcome of an open of a file below a directory: the
// directory renamed, removed or given other permissions. Entries coming and
// going need no watch: a directory on the path is never empty (it holds the
// next name of the path), so no rename can put another in its place without
// moving it away first, and the file's own watch sees it replaced or removed
// (its link count changes). Busy directories above the document root (/tmp)
// then wake nobody for the files made and removed in them.
constexpr uint32_t kDirectoryEvents = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// What changes a file: contents (writes, truncation), status (permissions,
// owner, times, links: a rename over it or an unlink drops its link count),
// and the file renamed or removed.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
// Added to the directory of a name watched for its absence: an entry made or
// renamed into it. Only such directories report their entries coming.
constexpr uint32_t kArrivalEvents = IN_CREATE | IN_MOVED_TO | IN_MASK_ADD | IN_ONLYDIR | IN_DONT_FOLLOW;

struct registry {
  std::mutex mutex;
  bool opened = false;
  std::unordered_map<std::string, bool> paths;  // as the callers name them: watched, or not watchable
  std::unordered_map<std::string, int> watched;  // absolute names of watched directories and files
  std::unordered_map<int, std::vector<std::string>> names;  // the names each watch stands for
};

// Never destroyed: connection threads may still drain while the process exits.
registry &the_registry() {
  static registry *r = new registry;
  return *r;
}

std::atomic<int> g_fd{-1};
std::atomic<uint64_t> g_generation{1};
// Odd while a drain runs: its notices are read but maybe not yet counted.
std::atomic<uint64_t> g_draining{0};

// Drops every watch: the next request of each path watches it again, on the
// file it names then. Holds the registry's mutex.
void forget_all(registry &r, int fd) {
  for (const auto &entry : r.names) inotify_rm_watch(fd, entry.first);
  r.names.clear();
  r.paths.clear();
  r.watched.clear();
}

int watch(registry &r, int fd, const std::string &name, uint32_t events) {
  const auto found = r.watched.find(name);
  if (found != r.watched.end()) return found->second;
  if (r.watched.size() >= kMaxWatches) return -1;
  const int wd = inotify_add_watch(fd, name.c_str(), events);
  if (wd < 0) return -1;
  r.watched.emplace(name, wd);
  r.names[wd].push_back(name);
  return wd;
}

// Whether a notice may change what a watched name leads to: any notice about
// a watched directory or file itself, and one about an entry of a watched
// directory (a directory's watch also reports its entries' status changes)
// only when that entry is on a watched path.
bool concerns_us(const registry &r, const inotify_event &event) {
  if (event.mask & IN_Q_OVERFLOW) return true;  // a lost notice may have been about anything
  const auto found = r.names.find(event.wd);
  if (found == r.names.end()) return false;  // a watch dropped before (its IN_IGNORED)
  if (event.len == 0) return true;
  const std::string entry(event.name, strnlen(event.name, event.len));
  for (const std::string &directory : found->second) {
    const std::string child = (directory == "/" ? "" : directory) + "/" + entry;
    if (r.watched.count(child)) return true;
  }
  return false;
}

// The absolute form of path, "." and empty components dropped; empty when it
// has a ".." (which a symbolic link above it would move).
std::string absolute_of(const char *path) {
  std::string in;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    in = cwd;
    in += '/';
  }
  in += path;
  std::string out;
  size_t at = 0;
  while (at < in.size()) {
    size_t end = in.find('/', at);
    if (end == std::string::npos) end = in.size();
    const size_t len = end - at;
    if (len == 2 && in.compare(at, 2, "..") == 0) return std::string();
    if (len > 0 && !(len == 1 && in[at] == '.')) out.append("/").append(in, at, len);
    at = end + 1;
  }
  return out;
}

// Watches every directory from the root down to the one holding absolute;
// the watch of that last one, or -1. A component that is a symbolic link
// fails (IN_DONT_FOLLOW with IN_ONLYDIR): what a link leads to may change
// without a notice on the watched names.
int watch_directories(registry &r, int fd, const std::string &absolute) {
  size_t slash = 0;
  for (;;) {
    const std::string directory = slash == 0 ? std::string("/") : absolute.substr(0, slash);
    const int wd = watch(r, fd, directory, kDirectoryEvents);
    if (wd < 0) return -1;
    const size_t next = absolute.find('/', slash + 1);
    if (next == std::string::npos) return wd;
    slash = next;
  }
}

// Watches the directories, then the file; a file that is a symbolic link
// fails too.
bool watch_path(registry &r, int fd, const char *path) {
  const std::string absolute = absolute_of(path);
  if (absolute.empty() || watch_directories(r, fd, absolute) < 0) return false;
  // The directories are watched: a link put in the file's place from here on
  // is noticed, one already there is seen now.
  struct stat st;
  if (lstat(absolute.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return watch(r, fd, absolute, kFileEvents) >= 0;
}

// Watches the directories and, in the last one, the name's arrival; true
// when nothing has that name now. The name is entered among the watched
// ones, so that its arrival concerns us.
bool watch_absence(registry &r, int fd, const char *path) {
  const std::string absolute = absolute_of(path);
  if (absolute.empty() || r.watched.size() >= kMaxWatches) return false;
  const int wd = watch_directories(r, fd, absolute);
  if (wd < 0) return false;
  const size_t slash = absolute.rfind('/');
  const std::string directory = slash == 0 ? std::string("/") : absolute.substr(0, slash);
  if (inotify_add_watch(fd, directory.c_str(), kDirectoryEvents | kArrivalEvents) != wd) return false;
  struct stat st;
  if (lstat(absolute.c_str(), &st) == 0 || errno != ENOENT) return false;
  r.watched.emplace(absolute, wd);
  return true;
}

// Each thread opens its own view of the mount table: a poll reports a change
// to one open file only once, so a descriptor shared by the managers would
// tell one of them and leave the others serving what they kept.
struct mounts_watch {
  int fd = -2;  // -2: not opened yet
  ~mounts_watch() {
    if (fd >= 0) ::close(fd);
  }
};
thread_local mounts_watch t_mounts;

int thread_mounts_fd() {
  if (t_mounts.fd == -2) {
    t_mounts.fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (t_mounts.fd < 0) t_mounts.fd = -1;
  }
  return t_mounts.fd;
}

}  // namespace

int nev_watch_mounts_fd(void) { return t_mounts.fd >= 0 ? t_mounts.fd : -1; }

void nev_watch_mounts_changed(void) {
  registry &r = the_registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  g_draining.fetch_add(1, std::memory_order_seq_cst);
  const int fd = nev_watch_fd();
  if (fd >= 0) forget_all(r, fd);
  g_generation.fetch_add(1, std::memory_order_seq_cst);
  g_draining.fetch_add(1, std::memory_order_seq_cst);
}

int nev_watch_fd(void) { return g_fd.load(std::memory_order_acquire); }

uint64_t nev_watch_generation(void) {
  const uint64_t before = g_draining.load(std::memory_order_seq_cst);
  if (before & 1) return 0;
  const uint64_t generation = g_generation.load(std::memory_order_seq_cst);
  return g_draining.load(std::memory_order_seq_cst) == before ? generation : 0;
}

void nev_watch_drain(void) {
  const int fd = nev_watch_fd();
  if (fd < 0) return;
  registry &r = the_registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  // Marked before the read: a thread whose poll comes after the read (and so
  // finds nothing to report) must not take the generation for current until
  // what was read is counted.
  g_draining.fetch_add(1, std::memory_order_seq_cst);
  bool relevant = false;
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t n = read(fd, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
      const auto *event = reinterpret_cast<const inotify_event *>(events + at);
      if (!relevant && concerns_us(r, *event)) relevant = true;
      at += ssize_t(sizeof(inotify_event) + event->len);
    }
  }
  if (relevant) {
    forget_all(r, fd);
    g_generation.fetch_add(1, std::memory_order_seq_cst);
  }
  g_draining.fetch_add(1, std::memory_order_seq_cst);
}

namespace {

// Under the registry's mutex: the change notice descriptor, opened at the
// first use.
int opened_fd(registry &r) {
  if (!r.opened) {
    r.opened = true;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0) g_fd.store(fd, std::memory_order_release);
  }
  return nev_watch_fd();
}

}  // namespace

int nev_watch_absence(const char *path) {
  if (path == nullptr || *path == '\0') return 0;
  if (thread_mounts_fd() < 0) return 0;  // before the look, as nev_watch_path
  registry &r = the_registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  const int fd = opened_fd(r);
  return fd >= 0 && watch_absence(r, fd, path) ? 1 : 0;
}

int nev_watch_path(const char *path) {
  if (path == nullptr || *path == '\0') return 0;
  // Opened before the caller's stat: a mount after it is reported.
  if (thread_mounts_fd() < 0) return 0;
  registry &r = the_registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  const auto found = r.paths.find(path);
  if (found != r.paths.end()) return found->second ? 1 : 0;
  if (r.paths.size() >= kMaxPaths) return 0;
  const int fd = opened_fd(r);
  const bool watched = fd >= 0 && watch_path(r, fd, path);
  r.paths.emplace(path, watched);
  return watched ? 1 : 0;
}
