// A small host for the engine tests: a manager polled on its own thread, an
// echo handler with a few line commands, a close counter, and blocking
// loopback clients.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nev.h"
#include "test_common.h"

// What one listener's connections share (the listener's user data).
struct HostConfig {
  bool drain = true;  // false: leave received bytes in the buffer
  std::atomic<int> accepts{0};
  std::atomic<int> closes{0};
  std::atomic<int> connects{0};
  std::atomic<int> connect_error{0};
  std::atomic<long> bytes_sent{0};
  std::atomic<int> send_events{0};
  std::atomic<nev_connection *> last_accepted{nullptr};
  std::atomic<nev_connection *> last_received{nullptr};  // the last one that got bytes
  std::string dial_reply;                                // bytes a dialled connection received
  bool dial_tls_kept = false;                            // the dialled connection still had TLS at its close

  // "slow": every handler waits until `slow_target` of them run at once.
  std::mutex mutex;
  std::condition_variable cv;
  int in_flight = 0;
  int max_in_flight = 0;
  int slow_target = 0;
  std::set<std::thread::id> handler_threads;

  // "hold": the handler blocks until released.
  bool hold = true;
  std::atomic<bool> hold_entered{false};
  std::atomic<bool> hold_finished{false};
  void release_hold();
};

// Echo and close handler. Lines: "big N" (N pattern bytes), "slow", "hold",
// "peer" (the peer's address as the engine names it, "ip:port"), "bye"
// (reply, then close), anything else is echoed.
void echo_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock);
// Byte i of a "big" reply.
inline char pattern_byte(size_t i) { return static_cast<char>('a' + i % 23); }

class EngineHost {
 public:
  EngineHost();
  ~EngineHost();
  nev_manager *mgr() { return &mgr_; }
  // Binds on 127.0.0.1:0 (before start()); returns the listener, NULL with
  // *error set on failure.
  nev_connection *listen(HostConfig *cfg, const nev_listen_options *opts = nullptr, bool threaded = false,
                         const char **error = nullptr);
  int port_of(nev_connection *listener) const;
  void start();
  // Runs fn on the polling thread between two polls and waits for it.
  void run_on_poller(const std::function<void()> &fn);
  // The host's stop: request_stop, close the listeners, one poll, teardown.
  // Returns the teardown's result.
  int shutdown();
  double stop_seconds() const { return stop_seconds_; }

 private:
  void loop();
  nev_manager mgr_{};
  std::vector<nev_connection *> listeners_;
  std::thread poller_;
  std::atomic<bool> stop_{false};
  std::mutex task_mutex_;
  std::vector<std::function<void()>> tasks_;
  std::atomic<int> tasks_done_{0};
  int teardown_result_ = -1;
  double stop_seconds_ = 0;
  bool started_ = false;
  bool torn_down_ = false;
};

// Blocking loopback client (10 s receive time-out).
int client_connect(int port);
bool client_send(int sock, const std::string &bytes);
// Reads until the text ends with `suffix`, EOF or time-out.
std::string client_read_until(int sock, const std::string &suffix);
// Reads until EOF (or time-out / reset); returns what came.
std::string client_read_all(int sock);

using testcommon::peek_peer;
using testcommon::peer_state;
using testcommon::wait_for;

// Runs a shell command, returns its output (standard error included) and
// its exit status.
std::string run_command(const std::string &cmd, int *status = nullptr);
// A fresh temporary directory for the test's files.
std::string make_temp_dir();
