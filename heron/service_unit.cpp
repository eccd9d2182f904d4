// -install and -remove: the service is a systemd unit file; systemctl makes
// systemd read it, stops the service and reports its state.
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "heron.h"
#include "nev.h"

extern char** environ;

namespace heron {
namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";
constexpr const char* kDefaultSystemctl = "systemctl";
constexpr auto kStopPollInterval = std::chrono::milliseconds(1000);
// The status of a command that could not be started, as the shell reports it.
constexpr int kCommandNotStarted = 127;
// The service's descriptor limit. The engine derives its connection cap from
// it (a quarter kept for files and databases, three descriptors a connection:
// 16,384 connections), and each connection runs on a thread of its own, so the
// task limit is that cap plus room for the plug-in's own threads (workers,
// pools, the broker's clients, file streaming).
constexpr long long kServiceDescriptorLimit = 65536;
constexpr long long kThreadsBesideConnections = 1024;
constexpr long long kServiceTaskLimit = nev_connection_cap_for(kServiceDescriptorLimit) + kThreadsBesideConnections;

std::string unitName() { return std::string(kServiceName) + ".service"; }

std::string unitPath(const UnitSettings& settings) { return settings.unitDirectory + "/" + unitName(); }

// What "opening the service manager" amounts to here: its unit directory must
// be there.
bool unitDirectoryUsable(const UnitSettings& settings) {
  struct stat info;
  if (stat(settings.unitDirectory.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

// systemd reads '%' as a specifier and '$' as a variable; '"' and '\' quote.
std::string quoteForExecStart(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$') quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

// The service runs as the owner of the program's tree (it writes its log and
// data there), never as root unless root owns the tree.
std::string ownerOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || info.st_uid == 0) return {};
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(info.st_uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return std::to_string(info.st_uid);
}

bool writeWhole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// Creates the unit file; fails with errno set (EEXIST when it is there).
bool createUnitFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = writeWhole(fd, text) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(path.c_str());
    errno = error;
  }
  return written;
}

std::string trimmed(const std::string& text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string serviceState(const UnitSettings& settings) {
  std::string output;
  runCommand({settings.systemctl, "is-active", unitName()}, &output);
  return trimmed(output);
}

// The STOP control: accepted only when the service runs.
bool requestStop(const UnitSettings& settings) {
  if (runCommand({settings.systemctl, "is-active", "--quiet", unitName()}) != 0) return false;
  return runCommand({settings.systemctl, "stop", "--no-block", unitName()}) == 0;
}

// False when the service was asked to stop and did not.
bool stopRunningService(const UnitSettings& settings) {
  if (!requestStop(settings)) return true;
  printf("Stopping %s.", kServiceName);
  fflush(stdout);
  std::this_thread::sleep_for(kStopPollInterval);
  std::string state = serviceState(settings);
  while (state == "deactivating") {
    printf(".");
    fflush(stdout);
    std::this_thread::sleep_for(kStopPollInterval);
    state = serviceState(settings);
  }
  if (state == "inactive" || state == "failed") {
    printf("\n%s is stopped.\n", kServiceName);
    return true;
  }
  printf("\n%s failed to stop.\n", kServiceName);
  return false;
}

// Runs "systemctl <verb> ..."; a failure is printed with the command and its
// status.
bool runSystemctl(const UnitSettings& settings, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), settings.systemctl);
  int status = runCommand(arguments);
  if (status == 0) return true;
  std::string command;
  for (const std::string& argument : arguments) command += (command.empty() ? "" : " ") + argument;
  if (status == kCommandNotStarted)
    printf("Not able to run [%s] - the command was not found or could not be started\n", command.c_str());
  else
    printf("[%s] failed with exit status %d\n", command.c_str(), status);
  return false;
}

bool reportUnitDirectory(const UnitSettings& settings) {
  if (unitDirectoryUsable(settings)) return true;
  printf("Not able to use the systemd unit directory [%s] - %s\n", settings.unitDirectory.c_str(), strerror(errno));
  return false;
}

}  // namespace

UnitSettings UnitSettings::fromEnvironment() {
  UnitSettings settings;
  const char* directory = getenv("HERON_UNIT_DIR");
  const char* systemctl = getenv("HERON_SYSTEMCTL");
  settings.unitDirectory = directory != nullptr && *directory != '\0' ? directory : kDefaultUnitDirectory;
  settings.systemctl = systemctl != nullptr && *systemctl != '\0' ? systemctl : kDefaultSystemctl;
  return settings;
}

std::string unitFileText(const std::string& programPath, const std::string& user) {
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + std::string(kDisplayName) + "\n";
  // The listeners bind to the machine's addresses: wait until it has them.
  text += "After=network-online.target\n";
  text += "Wants=network-online.target\n";
  text += "\n[Service]\n";
  text += "Type=simple\n";
  text += "ExecStart=" + quoteForExecStart(programPath) + " -s\n";
  // -s ends with a non-zero status when the server could not start or ended
  // by itself.
  text += "Restart=on-failure\n";
  if (!user.empty()) text += "User=" + user + "\n";
  text += "LimitNOFILE=" + std::to_string(kServiceDescriptorLimit) + "\n";
  text += "TasksMax=" + std::to_string(kServiceTaskLimit) + "\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

bool installService(const UnitSettings& settings) {
  std::string program = programPath();
  if (program.empty() || program.find('\n') != std::string::npos) {
    printf("Not able to read the program's own path (/proc/self/exe) - %s\n",
           strerror(program.empty() ? errno : EINVAL));
    return false;
  }
  if (!reportUnitDirectory(settings)) return false;
  std::string path = unitPath(settings);
  if (!createUnitFile(path, unitFileText(program, ownerOf(program)))) {
    if (errno == EEXIST)
      printf("%s is already installed - the unit file [%s] exists; heron -remove removes it.\n", kServiceName,
             path.c_str());
    else
      printf("Not able to write the unit file [%s] - %s\n", path.c_str(), strerror(errno));
    return false;
  }
  if (!runSystemctl(settings, {"daemon-reload"})) {
    // systemd did not take the unit: leave no half-installed service behind.
    unlink(path.c_str());
    printf("%s is not installed; the unit file [%s] was removed again.\n", kServiceName, path.c_str());
    return false;
  }
  printf("%s is installed.\n", kServiceName);
  return true;
}

bool removeService(const UnitSettings& settings) {
  if (!reportUnitDirectory(settings)) return false;
  std::string path = unitPath(settings);
  if (access(path.c_str(), F_OK) != 0) {
    printf("%s is not installed - no unit file [%s] - %s\n", kServiceName, path.c_str(), strerror(errno));
    return false;
  }
  bool stopped = stopRunningService(settings);
  // An enabled unit leaves links behind that would point at nothing.
  bool disabled = runSystemctl(settings, {"disable", "--quiet", unitName()});
  if (unlink(path.c_str()) != 0) {
    printf("Not able to delete the unit file [%s] - %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bool reloaded = runSystemctl(settings, {"daemon-reload"});
  printf("%s is removed.\n", kServiceName);
  return stopped && disabled && reloaded;
}

int runCommand(const std::vector<std::string>& argv, std::string* output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return kCommandNotStarted;
    }
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  }
  fflush(stdout);
  pid_t child = -1;
  int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    close(pipeFds[1]);
    if (spawned == 0) {
      char buffer[512];
      ssize_t got;
      while ((got = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
        if (got < 0) {
          if (errno == EINTR) continue;
          break;
        }
        output->append(buffer, static_cast<size_t>(got));
      }
    }
    close(pipeFds[0]);
  }
  if (spawned != 0) return kCommandNotStarted;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kCommandNotStarted;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kCommandNotStarted;
}

}  // namespace heron
