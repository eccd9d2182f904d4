#include "test_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

void HostConfig::release_hold() {
  std::lock_guard<std::mutex> guard(mutex);
  hold = false;
  cv.notify_all();
}

namespace {

void release(nev_connection *conn, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
}

void run_slow(nev_connection *conn, HostConfig *cfg, nev_unlock_fn unlock) {
  release(conn, unlock);
  std::unique_lock<std::mutex> lock(cfg->mutex);
  cfg->in_flight++;
  cfg->max_in_flight = std::max(cfg->max_in_flight, cfg->in_flight);
  cfg->handler_threads.insert(std::this_thread::get_id());
  cfg->cv.notify_all();
  // Every handler waits for all of them: only handlers running at the same
  // time on different threads can get past this together.
  cfg->cv.wait_for(lock, std::chrono::seconds(20), [cfg] { return cfg->max_in_flight >= cfg->slow_target; });
  cfg->in_flight--;
  lock.unlock();
  nev_enqueue(conn, "ok\n", 3);
}

void run_hold(nev_connection *conn, HostConfig *cfg, nev_unlock_fn unlock) {
  release(conn, unlock);
  cfg->hold_entered = true;
  {
    std::unique_lock<std::mutex> lock(cfg->mutex);
    cfg->cv.wait_for(lock, std::chrono::seconds(20), [cfg] { return !cfg->hold; });
  }
  nev_enqueue(conn, "held\n", 5);
  cfg->hold_finished = true;
}

void run_line(nev_connection *conn, HostConfig *cfg, const std::string &line, nev_unlock_fn unlock) {
  if (line.rfind("big ", 0) == 0) {
    size_t n = std::stoul(line.substr(4));
    std::string reply(n, '\0');
    for (size_t i = 0; i < n; i++) reply[i] = pattern_byte(i);
    nev_enqueue(conn, reply.data(), reply.size());
  } else if (line == "slow") {
    run_slow(conn, cfg, unlock);
  } else if (line == "hold") {
    run_hold(conn, cfg, unlock);
  } else if (line == "peer") {
    char text[64];
    nev_conn_addr_to_str(conn, text, sizeof text,
                         NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_PORT | NEV_SOCK_STRINGIFY_REMOTE);
    const std::string reply = std::string(text) + "\n";
    nev_enqueue(conn, reply.data(), reply.size());
  } else if (line == "bye") {
    nev_enqueue(conn, "bye\n", 4);
    conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
  } else {
    std::string reply = line + "\n";
    nev_enqueue(conn, reply.data(), reply.size());
  }
}

// Takes the complete lines out of the receive buffer.
std::vector<std::string> take_lines(nev_connection *conn) {
  std::vector<std::string> lines;
  nev_mutex_guard guard(conn->recv_buf.mutex);
  for (;;) {
    const char *start = conn->recv_buf.data;
    const char *nl = start != nullptr ? static_cast<const char *>(memchr(start, '\n', conn->recv_buf.len)) : nullptr;
    if (nl == nullptr) break;
    lines.emplace_back(start, nl - start);
    nev_buffer_drop_front(&conn->recv_buf, static_cast<size_t>(nl - start) + 1);
  }
  return lines;
}

}  // namespace

void echo_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  auto *cfg = static_cast<HostConfig *>(conn->user_data);
  switch (event) {
    case NEV_EVENT_ACCEPT:
      cfg->accepts++;
      cfg->last_accepted = conn;
      break;
    case NEV_EVENT_CLOSE:
      cfg->closes++;
      break;
    case NEV_EVENT_SEND:
      cfg->bytes_sent += *static_cast<int *>(data);
      cfg->send_events++;
      break;
    case NEV_EVENT_CONNECT:
      cfg->connect_error = *static_cast<int *>(data);
      cfg->connects++;
      if (cfg->connect_error == 0) nev_enqueue(conn, "dialled\nbye\n", 12);
      break;
    case NEV_EVENT_RECV:
      cfg->last_received = conn;
      if (!cfg->drain) break;
      if (conn->listener == nullptr) {  // a dialled connection collects
        nev_mutex_guard guard(conn->recv_buf.mutex);
        cfg->dial_reply.append(conn->recv_buf.data, conn->recv_buf.len);
        nev_buffer_drop_front(&conn->recv_buf, conn->recv_buf.len);
        break;
      }
      for (const std::string &line : take_lines(conn)) run_line(conn, cfg, line, unlock);
      break;
    default:
      break;
  }
}

EngineHost::EngineHost() { nev_manager_setup(&mgr_, nullptr); }

EngineHost::~EngineHost() {
  if (!torn_down_) shutdown();
}

nev_connection *EngineHost::listen(HostConfig *cfg, const nev_listen_options *opts, bool threaded, const char **error) {
  nev_listen_options o{};
  if (opts != nullptr) o = *opts;
  o.user_data = cfg;
  const char *err = nullptr;
  o.error_text = &err;
  nev_connection *l = nev_listen_with_options(&mgr_, "127.0.0.1:0", echo_handler, &o);
  if (error != nullptr) *error = err;
  if (l == nullptr) return nullptr;
  if (threaded) nev_listener_enable_threads(l);
  listeners_.push_back(l);
  return l;
}

int EngineHost::port_of(nev_connection *listener) const { return ntohs(listener->peer.sin_port); }

void EngineHost::start() {
  started_ = true;
  poller_ = std::thread([this] { loop(); });
}

void EngineHost::run_on_poller(const std::function<void()> &fn) {
  std::promise<void> done;
  auto fut = done.get_future();
  {
    std::lock_guard<std::mutex> guard(task_mutex_);
    tasks_.push_back([&] {
      fn();
      done.set_value();
    });
  }
  nev_manager_wake(&mgr_);
  fut.wait();
}

void EngineHost::loop() {
  while (!stop_) {
    std::vector<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> guard(task_mutex_);
      tasks.swap(tasks_);
    }
    for (auto &t : tasks) t();
    nev_manager_poll(&mgr_, 50);
  }
  auto t0 = std::chrono::steady_clock::now();
  nev_manager_request_stop(&mgr_);
  for (nev_connection *l : listeners_) l->flags |= NEV_CONN_CLOSE_NOW;
  nev_manager_poll(&mgr_, 100);
  teardown_result_ = nev_manager_teardown(&mgr_);
  stop_seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int EngineHost::shutdown() {
  if (torn_down_) return teardown_result_;
  torn_down_ = true;
  stop_ = true;
  if (started_) {
    nev_manager_wake(&mgr_);
    poller_.join();
  } else {
    loop();
  }
  return teardown_result_;
}

int client_connect(int port) {
  int s = testcommon::connect_loopback(port);
  timeval tv{10, 0};
  if (s >= 0) setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return s;
}

bool client_send(int sock, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string client_read_until(int sock, const std::string &suffix) {
  std::string got;
  char buf[4096];
  while (got.size() < suffix.size() || got.compare(got.size() - suffix.size(), suffix.size(), suffix) != 0) {
    ssize_t n = recv(sock, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string client_read_all(int sock) {
  std::string got;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(sock, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string run_command(const std::string &cmd, int *status) {
  testcommon::command_result result = testcommon::run_command(cmd + " 2>&1");
  if (status != nullptr) *status = result.status;
  return result.output;
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/net_core_XXXXXX";
  const char *dir = mkdtemp(tmpl);
  return dir != nullptr ? dir : "/tmp";
}
