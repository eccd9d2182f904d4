// Event manager, connections, dispatch, timers and connection threads.
#include "nev_core.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <vector>

#include "nev_codec.h"
#include "nev_io.h"
#include "nev_log.h"
#include "nev_socket.h"
#include "nev_str.h"
#include "nev_tls.h"

namespace {

struct control_request {
  nev_broadcast_fn fn;
  std::vector<char> data;
  bool *taken;  // the sender's, set under control_mutex when the poller took it
};

struct thread_record {
  pthread_t id;
  bool done;  // the thread no longer touches the manager tree
};

}  // namespace

// What a manager keeps beyond its public record.
struct nev_manager_state {
  // The thread polling the manager, so cross-thread senders know to wake it.
  std::atomic<bool> has_poller{false};
  std::atomic<pthread_t> poller{};
  // Guards the wake-up descriptor against a close while another thread writes.
  std::mutex wake_mutex;
  std::atomic<bool> wake_pending{false};
  // Broadcast requests: a wake-up tells the poller to look at the queue, and
  // the sender waits on control_taken until its request was taken.
  std::mutex broadcast_mutex;
  std::mutex control_mutex;
  std::condition_variable control_taken;
  // A list costs nothing until a broadcast comes (a deque allocates its
  // first block up front, in every connection thread's manager).
  std::list<control_request> control_queue;
  // Connection threads whose parent is this manager, and their managers.
  std::mutex threads_mutex;
  std::vector<thread_record> threads;
  std::vector<nev_manager *> children;
  bool threads_detached = false;
  // A top manager's spare descriptor, given up for a moment to accept and
  // close pending connections when none is free; -1 when none.
  int spare_fd = -1;
  // Connections closed at once since the last notice of their kind; only the
  // polling thread touches these.
  int refused_over_cap = 0;
  int refused_short = 0;
  int short_errno = 0;  // the last accept error for want of descriptors; 0 none since the notice
  double cap_notice_time = 0;
  double short_notice_time = 0;
};

namespace {

thread_local pthread_rwlock_t *tl_shared_lock = nullptr;

double monotonic_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void raise_descriptor_limit() {
  // Each connection costs a socket plus the wake-up descriptor of its
  // thread's manager; the default soft limit of 1024 ends near 500 connections.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

void ignore_sigpipe() {
  // TLS writes go through write(2), which has no MSG_NOSIGNAL.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  }
}

long long descriptor_limit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
  return lim.rlim_cur == RLIM_INFINITY ? 0x7fffffffLL * 4 : static_cast<long long>(lim.rlim_cur);
}

std::once_flag process_once;

void process_init() {
  std::call_once(process_once, [] {
    ignore_sigpipe();
    raise_descriptor_limit();
    nev_tls_init();
  });
}

bool parent_stopping(const nev_manager *mgr) {
  return mgr != nullptr && mgr->parent != nullptr && __atomic_load_n(&mgr->parent->stop_flag, __ATOMIC_ACQUIRE) == 1;
}

size_t locked_len(nev_buffer *buf) {
  nev_mutex_guard guard(buf->mutex);
  return buf->len;
}

void note_poller(nev_manager *mgr) {
  if (mgr->state == nullptr) return;
  mgr->state->poller.store(pthread_self());
  mgr->state->has_poller.store(true);
}

bool called_from_poller(const nev_manager *mgr) {
  if (mgr->state == nullptr || !mgr->state->has_poller.load()) return false;
  return pthread_equal(mgr->state->poller.load(), pthread_self()) != 0;
}

void init_interfaces(nev_manager *mgr, const nev_netif_ops *const *table, int count, const nev_netif_ops *main_iface) {
  mgr->ifaces = static_cast<nev_netif **>(calloc(count > 0 ? count : 1, sizeof(nev_netif *)));
  if (mgr->ifaces == nullptr) return;
  for (int i = 0; i < count; i++) {
    const nev_netif_ops *ops = (i == 0 && main_iface != nullptr) ? main_iface : table[i];
    nev_netif *iface = nev_iface_new(ops, mgr);
    if (iface == nullptr) continue;
    mgr->ifaces[mgr->num_ifaces++] = iface;
    ops->init(iface);
  }
}

// The part of every setup that does not decide about the lock.
void setup_record(nev_manager *mgr, void *user_data, const nev_netif_ops *const *table, int count,
                  const nev_netif_ops *main_iface, const char *nameserver) {
  memset(static_cast<void *>(mgr), 0, sizeof(*mgr));
  mgr->wake_fd = NEV_INVALID_SOCKET;
  mgr->user_data = user_data;
  mgr->teardown_wait_ms = NEV_DEFAULT_TEARDOWN_WAIT_MS;
  mgr->state = new nev_manager_state;
  if (nameserver != nullptr) mgr->nameserver = strdup(nameserver);
  init_interfaces(mgr, table, count, main_iface);
  NEV_LOG(4, ("=================================="));
  NEV_LOG(4, ("init mgr=%p", static_cast<void *>(mgr)));
  process_init();
  mgr->max_connections = nev_connection_cap_for(descriptor_limit());
}

void poll_interfaces(nev_manager *mgr, int timeout_ms) {
  note_poller(mgr);
  for (int i = 0; i < mgr->num_ifaces; i++) mgr->ifaces[i]->ops->poll(mgr->ifaces[i], timeout_ms);
}

// Joins the connection threads that have finished; with all, waits for every
// recorded one (the caller knows they are all ending).
void reap_threads(nev_manager *mgr, bool all) {
  nev_manager_state *st = mgr->state;
  if (st == nullptr || mgr->parent != nullptr) return;
  std::vector<pthread_t> to_join;
  {
    std::lock_guard<std::mutex> guard(st->threads_mutex);
    auto keep = std::partition(st->threads.begin(), st->threads.end(),
                               [all](const thread_record &r) { return !(r.done || all); });
    for (auto it = keep; it != st->threads.end(); ++it) to_join.push_back(it->id);
    st->threads.erase(keep, st->threads.end());
  }
  for (pthread_t id : to_join) pthread_join(id, nullptr);
}

size_t unfinished_threads(nev_manager *mgr) {
  if (mgr->state == nullptr) return 0;
  std::lock_guard<std::mutex> guard(mgr->state->threads_mutex);
  return std::count_if(mgr->state->threads.begin(), mgr->state->threads.end(),
                       [](const thread_record &r) { return !r.done; });
}

// Adds one to the wake-up counter, which makes the descriptor readable until
// the poller reads it. The caller holds wake_mutex. Returns false when there
// is no descriptor or the write failed.
bool signal_wake_fd(nev_manager *mgr) {
  if (mgr->wake_fd == NEV_INVALID_SOCKET) return false;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(mgr->wake_fd, &one, sizeof(one));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(one));
}

// Closes the wake-up descriptor and lets go of broadcasters still waiting.
void close_wake_fd(nev_manager *mgr) {
  nev_manager_state *st = mgr->state;
  if (st == nullptr) {
    nev_close_socket_retry(&mgr->wake_fd);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(st->wake_mutex);
    nev_close_socket_retry(&mgr->wake_fd);
  }
  std::lock_guard<std::mutex> guard(st->control_mutex);
  for (control_request &req : st->control_queue) *req.taken = true;
  st->control_queue.clear();
  st->control_taken.notify_all();
}

void free_interfaces(nev_manager *mgr) {
  for (int i = 0; i < mgr->num_ifaces; i++) {
    mgr->ifaces[i]->ops->free(mgr->ifaces[i]);
    free(mgr->ifaces[i]);
  }
  free(mgr->ifaces);
  mgr->ifaces = nullptr;
  mgr->num_ifaces = 0;
  free(mgr->nameserver);
  mgr->nameserver = nullptr;
}

// A child manager leaves its parent: the child count (under the exclusive
// lock), the registry of children, and a wake-up so a waiting teardown of the
// parent notices at once.
void leave_parent(nev_manager *child) {
  nev_manager *parent = child->parent;
  {
    nev_rwlock_guard exclusive(parent->lock, nev_rwlock_mode::exclusive);
    __atomic_sub_fetch(&parent->num_children, 1, __ATOMIC_ACQ_REL);
  }
  if (parent->state != nullptr) {
    std::lock_guard<std::mutex> guard(parent->state->threads_mutex);
    auto &kids = parent->state->children;
    kids.erase(std::remove(kids.begin(), kids.end(), child), kids.end());
  }
}

// Holds the dispatch lock shared around one user handler call, which may
// release it early (nev_release_dispatch_lock); a handler that breaks the rule
// and throws still leaves the lock released.
class shared_dispatch_hold {
 public:
  shared_dispatch_hold(nev_connection *conn, pthread_rwlock_t *lock)
      : conn_(conn), lock_(lock), outer_(tl_shared_lock) {
    nev_srwlock_lock_shared(lock_);
    tl_shared_lock = lock_;
    conn_->lock_held = 1;
  }
  ~shared_dispatch_hold() {
    if (conn_->lock_held) {
      conn_->lock_held = 0;
      nev_srwlock_unlock_shared(lock_);
    }
    tl_shared_lock = outer_;
  }
  shared_dispatch_hold(const shared_dispatch_hold &) = delete;
  shared_dispatch_hold &operator=(const shared_dispatch_hold &) = delete;

 private:
  nev_connection *conn_;
  pthread_rwlock_t *lock_;
  pthread_rwlock_t *outer_;
};

// Calls a handler with the dispatch lock rules: user handlers run with the
// lock held shared (unless this thread already holds it: a nested dispatch
// must not queue behind a waiting writer) and only keep their changes to the
// handler-mask flags.
void call_handler(nev_connection *conn, nev_event_handler handler, int event, void *data) {
  nev_manager *mgr = conn->manager;
  bool is_user = handler == conn->user_handler;
  uint32_t before = conn->flags;
  pthread_rwlock_t *lock = mgr != nullptr ? mgr->lock : nullptr;
  if (lock != nullptr && is_user) {
    if (tl_shared_lock == lock) {
      if (!parent_stopping(mgr)) handler(conn, event, data, nev_release_dispatch_lock);
    } else {
      shared_dispatch_hold hold(conn, lock);
      if (!parent_stopping(mgr)) handler(conn, event, data, nev_release_dispatch_lock);
    }
  } else {
    handler(conn, event, data, nullptr);
  }
  if (is_user && conn->flags != before) {
    uint32_t kept = before ^ ((before ^ conn->flags) & NEV_CONN_HANDLER_MASK);
    // A handler may switch a connection to TLS but never back: the send
    // buffer would then go out in clear on a connection the peer and the
    // host take for encrypted.
    conn->flags = kept | (before & NEV_CONN_TLS);
  }
}

bool timed_out(nev_connection *conn, double now) {
  if (conn->flags & NEV_CONN_LISTENING) return false;
  if ((conn->flags & NEV_CONN_TLS) && !(conn->flags & NEV_CONN_TLS_READY) && conn->handshake_deadline > 0 &&
      now >= conn->handshake_deadline) {
    NEV_LOG(3, ("%p TLS handshake not finished in time, closing", static_cast<void *>(conn)));
    return true;
  }
  if (conn->listener != nullptr && conn->idle_timeout_ms > 0 &&
      now >= nev_idle_deadline(conn, conn->idle_timeout_ms / 1000.0)) {
    NEV_LOG(3, ("%p idle for %d ms, closing", static_cast<void *>(conn), conn->idle_timeout_ms));
    return true;
  }
  return false;
}

// Drops one hold on a connection's record; the last frees what others may
// still read through it (protocol data, mutexes) and the record itself.
void release_record(nev_connection *conn) {
  if (__atomic_sub_fetch(&conn->holders, 1, __ATOMIC_ACQ_REL) != 0) return;
  if (conn->proto_data != nullptr && conn->proto_data_destructor != nullptr)
    conn->proto_data_destructor(conn->proto_data);
  conn->proto_data = nullptr;
  nev_mutex_close(conn->recv_buf.mutex);
  nev_mutex_close(conn->send_buf.mutex);
  nev_mutex_close(conn->mutex);
  memset(static_cast<void *>(conn), 0, sizeof(*conn));
  free(conn);
}

// The interface's destroy step under the send buffer's mutex: a thread that
// writes to the socket directly (the MQTT senders) holds that mutex and checks
// the socket first, so it never writes to a descriptor number that was closed
// and may already belong to another connection.
void close_socket(nev_connection *conn) {
  if (conn->iface == nullptr) return;
  if (conn->send_buf.mutex == nullptr) {
    conn->iface->ops->destroy_conn(conn);
    return;
  }
  nev_mutex_guard guard(conn->send_buf.mutex);
  conn->iface->ops->destroy_conn(conn);
}

void start_thread_failed(nev_connection *conn, int err) {
  NEV_LOG(0, ("%p cannot start a connection thread: %s", static_cast<void *>(conn), strerror(err)));
  nev_mutex_unlock(conn->handover_mutex);
  nev_mutex_close(conn->handover_mutex);
  conn->handover_mutex = nullptr;
  // The host never saw this connection: keep it away from the host's handler.
  conn->user_handler = nev_threaded_accept;
  nev_manager_attach(conn->manager, conn);
  conn->flags |= NEV_CONN_CLOSE_NOW;
}

// A connection thread that has seen no event for a while gives back what its
// busiest moments left behind: the stack pages below its idle loop (a deep
// handler call touches them once, and touched pages stay resident for the
// thread's life) and its read area. Thousands of quiet connections then cost
// little more than the stack their idle loop uses.
constexpr auto QUIET_ROUND = std::chrono::milliseconds(500);
// Room kept below the releasing frame for the system call that releases (a
// raw system call pushes no more than its return address).
constexpr uintptr_t RELEASE_MARGIN = 256;

// Lowest usable address of the calling thread's stack; NULL when unknown.
char *stack_low_end() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return nullptr;
  void *addr = nullptr;
  size_t size = 0;
  int err = pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  return err == 0 ? static_cast<char *>(addr) : nullptr;
}

uintptr_t page_size() { return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)); }

// Not inlined, so that its frame lies below the loop's and everything under
// it is dead. The raw system call runs without a frame of its own (no
// sanitizer wrapper), well within the margin. Returns where the released
// pages end (the start of those kept); NULL when none were released.
__attribute__((noinline)) char *release_quiet_thread(char *stack_low) {
  nev_release_read_scratch();
  if (stack_low == nullptr) return nullptr;
  const uintptr_t page = page_size();
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(stack_low) + page - 1) & ~(page - 1);
  const uintptr_t end = (here - RELEASE_MARGIN) & ~(page - 1);
  if (end <= start) return nullptr;
  syscall(SYS_madvise, start, end - start, MADV_DONTNEED);
  return reinterpret_cast<char *>(end);
}

// Whether the stack page just below released_end is resident again: a poll
// round's handlers (keep-alive checks, the broker's periodic work) may reach
// that deep on a quiet connection too. Asked of the kernel, since reading the
// page would make it resident.
bool touched_below(char *released_end) {
  unsigned char resident = 0;
  return mincore(released_end - page_size(), page_size(), &resident) == 0 && (resident & 1) != 0;
}

void send_notice(nev_manager *mgr, const char *text) {
  if (mgr->notice != nullptr)
    mgr->notice(mgr, text);
  else
    NEV_LOG(0, ("%s", text));
}

// Reports the connections closed at once, each kind at most once a second
// (with force: whatever is counted).
void report_refusals(nev_manager *mgr, double now, bool force) {
  nev_manager_state *st = mgr->state;
  if (st == nullptr) return;
  char text[200];
  if (st->refused_over_cap > 0 && (force || now - st->cap_notice_time >= 1.0)) {
    snprintf(text, sizeof(text), "%d new connections closed at once: %d connections are open, the most allowed",
             st->refused_over_cap, mgr->max_connections);
    st->refused_over_cap = 0;
    st->cap_notice_time = now;
    send_notice(mgr, text);
  }
  if (st->short_errno != 0 && (force || now - st->short_notice_time >= 1.0)) {
    snprintf(text, sizeof(text),
             "no descriptor free for new connections (%s): %d closed at once, accepting again in %d ms",
             strerror(st->short_errno), st->refused_short, NEV_ACCEPT_BACKOFF_MS);
    st->refused_short = 0;
    st->short_errno = 0;
    st->short_notice_time = now;
    send_notice(mgr, text);
  }
}

// Serves the connection until the manager holds none. The thread sleeps until
// its socket, its wake-up descriptor or a deadline of the connection needs it;
// once a quiet round has passed after the last event it gives back its spare
// stack, and again only when a later round without events reached below the
// kept page.
void run_connection_loop(nev_manager *child) {
  char *stack_low = stack_low_end();
  int events_seen = child->num_events;
  auto last_event = std::chrono::steady_clock::now();
  char *released_end = nullptr;  // set while no event came since the release
  bool released = false;
  while (child->connections != nullptr) {
    int timeout_ms = NEV_POLL_UNTIL_DUE;
    if (!released) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          last_event + QUIET_ROUND - std::chrono::steady_clock::now());
      timeout_ms = static_cast<int>(std::max<int64_t>(left.count(), 0)) + 1;
    }
    poll_interfaces(child, timeout_ms);
    if (child->num_events != events_seen) {
      events_seen = child->num_events;
      last_event = std::chrono::steady_clock::now();
      released = false;
      released_end = nullptr;
    } else if (!released) {
      if (std::chrono::steady_clock::now() - last_event >= QUIET_ROUND) {
        // The clock's time-zone look-up reaches deep into the stack once a
        // second; done now, the poll set-up before the long sleep skips it,
        // and what it touched goes with the rest.
        nev_now();
        released_end = release_quiet_thread(stack_low);
        released = true;
      }
    } else if (released_end != nullptr && touched_below(released_end)) {
      released_end = release_quiet_thread(stack_low);
    }
  }
}

}  // namespace

// ---- Manager ----

void nev_manager_setup(nev_manager *mgr, void *user_data) {
  setup_record(mgr, user_data, nev_iface_table, nev_iface_table_size, nullptr, nullptr);
  mgr->lock = nev_srwlock_new();
}

void nev_manager_setup_with(nev_manager *mgr, void *user_data, const nev_manager_setup_options *opts) {
  const nev_netif_ops *const *table = nev_iface_table;
  int count = nev_iface_table_size;
  if (opts != nullptr && opts->num_ifaces > 0) {
    table = opts->ifaces;
    count = opts->num_ifaces;
  }
  setup_record(mgr, user_data, table, count, opts != nullptr ? opts->main_iface : nullptr,
               opts != nullptr ? opts->nameserver : nullptr);
}

int nev_manager_poll(nev_manager *mgr, int timeout_ms) {
  if (mgr == nullptr || mgr->num_ifaces == 0) return 0;
  int before = mgr->num_events;
  poll_interfaces(mgr, timeout_ms);
  reap_threads(mgr, false);
  report_refusals(mgr, nev_now(), false);
  return mgr->num_events - before;
}

int nev_manager_teardown(nev_manager *mgr) {
  NEV_LOG(4, ("%p", static_cast<void *>(mgr)));
  if (mgr == nullptr) return 0;
  poll_interfaces(mgr, 0);
  // A close deferred once is done on the second call, so this ends.
  while (mgr->connections != nullptr) {
    nev_connection *conn = mgr->connections;
    conn->flags |= NEV_CONN_CLOSE_NOW;
    nev_connection_close(conn);
  }
  int threads_may_run = 0;
  if (mgr->parent != nullptr) {
    leave_parent(mgr);
    mgr->lock = nullptr;  // the parent's
  } else {
    double deadline = monotonic_ms() + mgr->teardown_wait_ms;
    while (unfinished_threads(mgr) > 0) {
      double left = deadline - monotonic_ms();
      if (left <= 0) break;
      poll_interfaces(mgr, static_cast<int>(std::min(left, 1000.0)) + 1);
    }
    if (unfinished_threads(mgr) == 0 && __atomic_load_n(&mgr->num_children, __ATOMIC_ACQUIRE) <= 0) {
      reap_threads(mgr, true);
      nev_srwlock_free(mgr->lock);
      mgr->lock = nullptr;
    } else {
      // The record and lock stay with the caller; threads still running must
      // not be joined by anyone, so they end on their own.
      threads_may_run = 1;
      std::lock_guard<std::mutex> guard(mgr->state->threads_mutex);
      for (auto &r : mgr->state->threads)
        if (!r.done) pthread_detach(r.id);
      mgr->state->threads_detached = true;
    }
  }
  free_interfaces(mgr);
  close_wake_fd(mgr);
  report_refusals(mgr, nev_now(), true);
  if (mgr->state != nullptr && mgr->state->spare_fd >= 0) {
    close(mgr->state->spare_fd);
    mgr->state->spare_fd = -1;
  }
  if (!threads_may_run) {
    if (mgr->parent == nullptr) reap_threads(mgr, true);
    delete mgr->state;
    mgr->state = nullptr;
  }
  return threads_may_run;
}

void nev_manager_request_stop(nev_manager *mgr) {
  if (mgr == nullptr) return;
  {
    nev_rwlock_guard exclusive(mgr->lock, nev_rwlock_mode::exclusive);
    __atomic_store_n(&mgr->stop_flag, 1, __ATOMIC_RELEASE);
  }
  // Connection threads would see the flag within their poll time-out; waking
  // them makes the stop prompt.
  if (mgr->state != nullptr) {
    std::lock_guard<std::mutex> guard(mgr->state->threads_mutex);
    for (nev_manager *child : mgr->state->children) nev_manager_wake(child);
  }
}

void nev_manager_wake(nev_manager *mgr) {
  if (mgr == nullptr || mgr->state == nullptr) return;
  nev_manager_state *st = mgr->state;
  if (st->wake_pending.exchange(true)) return;  // one wake-up is enough
  std::lock_guard<std::mutex> guard(st->wake_mutex);
  if (mgr->wake_fd == NEV_INVALID_SOCKET) return;
  if (!signal_wake_fd(mgr)) st->wake_pending.store(false);
}

void nev_manager_attach(nev_manager *mgr, nev_connection *conn) {
  conn->manager = mgr;
  conn->prev = nullptr;
  conn->next = mgr->connections;
  if (mgr->connections != nullptr) mgr->connections->prev = conn;
  mgr->connections = conn;
  if (conn->sock != NEV_INVALID_SOCKET && conn->iface != nullptr) conn->iface->ops->add_conn(conn);
  NEV_LOG(4, ("%p %p", static_cast<void *>(mgr), static_cast<void *>(conn)));
}

void nev_manager_detach(nev_connection *conn) {
  nev_manager *mgr = conn->manager;
  if (conn->prev != nullptr) {
    conn->prev->next = conn->next;
  } else if (mgr != nullptr && mgr->connections == conn) {
    mgr->connections = conn->next;
  }
  if (conn->next != nullptr) conn->next->prev = conn->prev;
  conn->next = conn->prev = nullptr;
  if (conn->iface != nullptr) conn->iface->ops->remove_conn(conn);
}

nev_connection *nev_next_connection(nev_manager *mgr, nev_connection *conn) {
  return conn == nullptr ? mgr->connections : conn->next;
}

nev_netif *nev_iface_new(const nev_netif_ops *ops, nev_manager *mgr) {
  auto *iface = static_cast<nev_netif *>(calloc(1, sizeof(nev_netif)));
  if (iface == nullptr) return nullptr;
  iface->manager = mgr;
  iface->ops = ops;
  return iface;
}

nev_netif *nev_iface_next_of(nev_manager *mgr, const nev_netif_ops *ops, nev_netif *after) {
  int i = 0;
  if (after != nullptr) {
    while (i < mgr->num_ifaces && mgr->ifaces[i] != after) i++;
    i++;
  }
  for (; i < mgr->num_ifaces; i++)
    if (mgr->ifaces[i]->ops == ops) return mgr->ifaces[i];
  return nullptr;
}

void nev_control_broadcast(nev_manager *mgr, nev_broadcast_fn fn, const void *data, size_t len) {
  if (mgr == nullptr || mgr->state == nullptr || mgr->wake_fd == NEV_INVALID_SOCKET || data == nullptr || len > 8191)
    return;
  nev_manager_state *st = mgr->state;
  std::lock_guard<std::mutex> serial(st->broadcast_mutex);
  bool taken = false;
  {
    std::lock_guard<std::mutex> guard(st->control_mutex);
    const char *bytes = static_cast<const char *>(data);
    st->control_queue.push_back(control_request{fn, std::vector<char>(bytes, bytes + len), &taken});
  }
  bool signalled;
  {
    std::lock_guard<std::mutex> guard(st->wake_mutex);
    signalled = signal_wake_fd(mgr);
  }
  std::unique_lock<std::mutex> lock(st->control_mutex);
  if (!signalled && !taken) {
    st->control_queue.pop_back();  // still the last: the sender lock keeps others out
    return;
  }
  st->control_taken.wait(lock, [&taken] { return taken; });
}

namespace {

// Runs the queued broadcasts; each sender goes on as soon as its request is
// taken, as it did when the poller acknowledged it.
void serve_broadcasts(nev_manager *mgr) {
  nev_manager_state *st = mgr->state;
  for (;;) {
    control_request req{};
    {
      std::lock_guard<std::mutex> guard(st->control_mutex);
      if (st->control_queue.empty()) return;
      req = std::move(st->control_queue.front());
      st->control_queue.pop_front();
      *req.taken = true;
    }
    st->control_taken.notify_all();
    NEV_LOG(4, ("broadcast of %d bytes", static_cast<int>(req.data.size())));
    if (req.fn == nullptr) continue;
    for (nev_connection *c = mgr->connections, *next; c != nullptr; c = next) {
      next = c->next;
      req.fn(c, NEV_EVENT_POLL, req.data.data(), nullptr);
    }
  }
}

}  // namespace

void nev_handle_control_socket(nev_manager *mgr) {
  if (mgr->state == nullptr || mgr->wake_fd == NEV_INVALID_SOCKET) return;
  uint64_t count = 0;
  while (read(mgr->wake_fd, &count, sizeof(count)) < 0 && errno == EINTR) {
  }
  serve_broadcasts(mgr);
  // Cleared only once the counter is read. Cleared first, a wake-up sent
  // during the read was swallowed with the flag left set, and every later
  // sender then skipped its signal: cross-thread sends waited for the poll
  // time-out from then on. A sender that finds the flag set now either made
  // the counter non-zero after the read, or queued its bytes before this
  // poller builds its next poll set.
  mgr->state->wake_pending.store(false);
}

// ---- Connection cap ----

int nev_connection_slot_take(nev_manager *mgr) {
  int open = __atomic_add_fetch(&mgr->open_connections, 1, __ATOMIC_ACQ_REL);
  if (mgr->max_connections >= 1 && open > mgr->max_connections) {
    __atomic_sub_fetch(&mgr->open_connections, 1, __ATOMIC_ACQ_REL);
    return 0;
  }
  return 1;
}

void nev_connection_slot_give(nev_manager *mgr) { __atomic_sub_fetch(&mgr->open_connections, 1, __ATOMIC_ACQ_REL); }

void nev_note_refused(nev_manager *mgr, int errno_value, int count) {
  nev_manager_state *st = mgr->state;
  if (st == nullptr) return;
  if (errno_value == 0) {
    st->refused_over_cap += count;
  } else {
    st->refused_short += count;
    st->short_errno = errno_value;
  }
  report_refusals(mgr, nev_now(), false);
}

void nev_keep_spare_descriptor(nev_manager *mgr) {
  if (mgr->state != nullptr && mgr->state->spare_fd < 0) mgr->state->spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

int nev_shed_pending(nev_connection *listener, int most) {
  nev_manager_state *st = listener->manager->state;
  if (st == nullptr || st->spare_fd < 0) return 0;
  close(st->spare_fd);
  st->spare_fd = -1;
  int shed = 0;
  while (shed < most) {
    int sock = accept4(listener->sock, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock < 0) {
      if (errno == EINTR) continue;
      break;
    }
    close(sock);
    shed++;
  }
  nev_keep_spare_descriptor(listener->manager);
  return shed;
}

// ---- Connections ----

nev_connection *nev_connection_create(nev_manager *mgr, nev_event_handler handler, const nev_connection_options *opts) {
  auto *conn = static_cast<nev_connection *>(calloc(1, sizeof(nev_connection)));
  if (conn == nullptr) {
    if (opts != nullptr && opts->error_text != nullptr) *opts->error_text = "failed to create connection";
    return nullptr;
  }
  conn->sock = NEV_INVALID_SOCKET;
  conn->user_handler = handler;
  conn->manager = mgr;
  conn->last_io_time = static_cast<int64_t>(nev_now());
  conn->iface = (opts != nullptr && opts->iface != nullptr)
                    ? opts->iface
                    : (mgr != nullptr && mgr->num_ifaces > 0 ? mgr->ifaces[0] : nullptr);
  conn->recv_limit = SIZE_MAX;
  conn->holders = 1;
  if (opts != nullptr) {
    conn->flags = opts->flags & NEV_CONN_CREATE_MASK;
    conn->user_data = opts->user_data;
  }
  conn->mutex = nev_mutex_create();
  conn->recv_buf.mutex = nev_mutex_create();
  conn->send_buf.mutex = nev_mutex_create();
  return conn;
}

nev_connection *nev_connection_create_full(nev_manager *mgr, nev_event_handler handler,
                                           const nev_connection_options *opts) {
  nev_connection *conn = nev_connection_create(mgr, handler, opts);
  if (conn == nullptr) return nullptr;
  if (conn->iface == nullptr || !conn->iface->ops->create_conn(conn)) {
    if (opts != nullptr && opts->error_text != nullptr) *opts->error_text = "failed to init connection";
    nev_connection_destroy(conn, 0);
    return nullptr;
  }
  return conn;
}

nev_connection *nev_wrap_socket(nev_manager *mgr, nev_sock_t sock, nev_event_handler handler) {
  return nev_wrap_socket_with_options(mgr, sock, handler, nullptr);
}

nev_connection *nev_wrap_socket_with_options(nev_manager *mgr, nev_sock_t sock, nev_event_handler handler,
                                             const nev_connection_options *opts) {
  nev_connection *conn = nev_connection_create_full(mgr, handler != nullptr ? handler : nev_null_handler, opts);
  if (conn == nullptr) return nullptr;
  if (sock != NEV_INVALID_SOCKET) nev_iface_set_socket(conn, sock);
  nev_manager_attach(mgr, conn);
  return conn;
}

void nev_connection_close(nev_connection *conn) {
  if (conn->sock != NEV_INVALID_SOCKET) {
    // A last read hands the handler what is still in the socket; when the
    // buffer is full the handler gets one more poll step to drain it, but only
    // once, or a handler that never drains would keep the connection for ever.
    if (nev_read_available(conn) == -2 && !conn->close_deferred) {
      conn->close_deferred = 1;
      conn->flags |= NEV_CONN_CLOSE_RETRY;
      return;
    }
  }
  if (conn->flags & NEV_CONN_TLS_READY) nev_tls_close_notify(conn);
  conn->flags |= NEV_CONN_CLOSE_NOW;
  nev_manager_detach(conn);
  close_socket(conn);
  if (!parent_stopping(conn->manager)) nev_dispatch_event(conn, nullptr, NEV_EVENT_CLOSE, nullptr);
  nev_connection_destroy(conn, 0);
}

void nev_connection_destroy(nev_connection *conn, int with_iface) {
  if (conn->sock != NEV_INVALID_SOCKET)
    NEV_LOG(3, ("%p 0x%lx %d", static_cast<void *>(conn), static_cast<unsigned long>(conn->flags), with_iface));
  if (with_iface) close_socket(conn);
  if (conn->tls != nullptr) nev_tls_free(conn);
  if (conn->counted_in != nullptr) nev_connection_slot_give(conn->counted_in);
  conn->counted_in = nullptr;
  nev_buffer_free(&conn->recv_buf);
  nev_buffer_free(&conn->send_buf);
  nev_connection *listener = conn->listener;
  release_record(conn);
  if (listener != nullptr) release_record(listener);
}

void nev_connection_set_listener(nev_connection *conn, nev_connection *listener) {
  conn->listener = listener;
  __atomic_add_fetch(&listener->holders, 1, __ATOMIC_RELAXED);
}

void nev_dispatch_event(nev_connection *conn, nev_event_handler handler, int event, void *data) {
  if (handler == nullptr) handler = conn->proto_handler != nullptr ? conn->proto_handler : conn->user_handler;
  nev_manager *mgr = conn->manager;
  if (event != NEV_EVENT_POLL) {
    NEV_LOG(4, ("%p %s ev=%d ev_data=%p flags=0x%lx rmbl=%d smbl=%d", static_cast<void *>(conn),
                handler == conn->user_handler ? "user" : "proto", event, data, static_cast<unsigned long>(conn->flags),
                static_cast<int>(conn->recv_buf.len), static_cast<int>(conn->send_buf.len)));
  }
  if (mgr != nullptr && mgr->hexdump_path != nullptr && event != NEV_EVENT_POLL && event != NEV_EVENT_RECV &&
      event != NEV_EVENT_SEND)
    nev_hexdump_connection(conn, mgr->hexdump_path, nullptr, 0, event);
  if (handler != nullptr) call_handler(conn, handler, event, data);
  if (event != NEV_EVENT_POLL && mgr != nullptr) {
    mgr->num_events++;
    NEV_LOG(4, ("%p after %s flags=0x%lx rmbl=%d smbl=%d", static_cast<void *>(conn),
                handler == conn->user_handler ? "user" : "proto", static_cast<unsigned long>(conn->flags),
                static_cast<int>(conn->recv_buf.len), static_cast<int>(conn->send_buf.len)));
  }
}

int nev_poll_connection(nev_connection *conn, double now) {
  if (__atomic_load_n(&conn->close_requested, __ATOMIC_ACQUIRE)) conn->flags |= NEV_CONN_CLOSE_NOW;
  if ((conn->flags & NEV_CONN_CLOSE_NOW) || parent_stopping(conn->manager)) {
    nev_connection_close(conn);
    return 0;
  }
  if (conn->flags & NEV_CONN_CLOSE_AFTER_SEND) {
    if (locked_len(&conn->send_buf) == 0) {
      conn->flags |= NEV_CONN_CLOSE_NOW;
      nev_connection_close(conn);
      return 0;
    }
  } else if (conn->flags & NEV_CONN_CLOSE_RETRY) {
    nev_connection_close(conn);
    return 0;
  }
  if (timed_out(conn, now)) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    nev_connection_close(conn);
    return 0;
  }
  // Data the TLS library already decrypted never makes the socket readable.
  if ((conn->flags & NEV_CONN_TLS) && !(conn->flags & (NEV_CONN_LISTENING | NEV_CONN_CONNECTING))) {
    while (!(conn->flags & (NEV_CONN_TLS_WANT_READ | NEV_CONN_TLS_WANT_WRITE)) && nev_recv_room(conn, 1460) != 0 &&
           nev_read_available(conn) > 0) {
    }
  }
  nev_timer_fire(conn, now);
  nev_event_handler handler = conn->proto_handler != nullptr ? conn->proto_handler : conn->user_handler;
  if (handler == nullptr) return 1;
  int64_t seconds = static_cast<int64_t>(now);
  conn->poll_due = 0;
  call_handler(conn, handler, NEV_EVENT_POLL, &seconds);
  return 1;
}

void nev_poll_due_at(nev_connection *conn, double when) {
  if (conn->poll_due == 0 || when < conn->poll_due) conn->poll_due = when;
}

void nev_report_handler_exception(nev_connection *conn, const char *where, const char *what) noexcept {
  NEV_LOG(0, ("%p %s: exception escaped the handler (%s); closing", static_cast<void *>(conn), where,
              what != nullptr ? what : "not a std::exception"));
  if (conn != nullptr) conn->flags |= NEV_CONN_CLOSE_NOW;
}

void nev_release_dispatch_lock(nev_connection *conn) {
  if (conn == nullptr || conn->manager == nullptr || conn->manager->lock == nullptr || conn->lock_held != 1) return;
  conn->lock_held = 0;
  nev_srwlock_unlock_shared(conn->manager->lock);
  if (tl_shared_lock == conn->manager->lock) tl_shared_lock = nullptr;
}

// ---- Timers ----

double nev_timer_set(nev_connection *conn, double when) {
  double previous = conn->timer;
  conn->timer = when;
  if ((conn->flags & NEV_CONN_RESOLVING) && conn->private_word != nullptr)
    static_cast<nev_connection *>(conn->private_word)->timer = when;
  NEV_LOG(4, ("%p %p %d -> %lu", static_cast<void *>(conn), conn->private_word,
              static_cast<int>(conn->flags & NEV_CONN_RESOLVING), static_cast<unsigned long>(when)));
  return previous;
}

void nev_timer_fire(nev_connection *conn, double now) {
  if (conn->timer > 0 && now >= conn->timer) {
    double fired = conn->timer;
    conn->timer = 0;
    nev_dispatch_event(conn, nullptr, NEV_EVENT_TIMER, &fired);
  }
}

double nev_timer_earliest(nev_manager *mgr) {
  double earliest = 0;
  for (nev_connection *c = mgr->connections; c != nullptr; c = c->next)
    if (c->timer > 0 && (earliest == 0 || c->timer < earliest)) earliest = c->timer;
  return earliest;
}

// ---- Sending ----

void nev_connection_wake(nev_connection *conn) {
  nev_manager *mgr = conn->manager;
  if (mgr != nullptr && !called_from_poller(mgr)) nev_manager_wake(mgr);
}

void nev_connection_request_close(nev_connection *conn) {
  __atomic_store_n(&conn->close_requested, 1, __ATOMIC_RELEASE);
  nev_connection_wake(conn);
}

void nev_enqueue(nev_connection *conn, const void *bytes, size_t len) {
  conn->last_io_time = static_cast<int64_t>(nev_now());
  nev_buffer_append(&conn->send_buf, bytes, len);
  nev_connection_wake(conn);
}

int nev_enqueue_vformat(nev_connection *conn, const char *format, va_list args) {
  char stack_buf[100];
  char *text = stack_buf;
  int len = nev_format_alloc_va(&text, sizeof(stack_buf), format, args);
  if (len > 0) {
    conn->last_io_time = static_cast<int64_t>(nev_now());
    nev_buffer_append(&conn->send_buf, text, static_cast<size_t>(len));
    nev_connection_wake(conn);
  }
  if (text != stack_buf) free(text);
  return len;
}

int nev_enqueue_format(nev_connection *conn, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int len = nev_enqueue_vformat(conn, format, args);
  va_end(args);
  return len;
}

size_t nev_connection_send_backlog(nev_connection *conn) { return locked_len(&conn->send_buf); }

bool nev_reading_paused(nev_connection *conn) {
  return conn->send_backlog_limit != 0 && !(conn->flags & NEV_CONN_TLS_WANT_READ) &&
         locked_len(&conn->send_buf) > conn->send_backlog_limit;
}

void nev_relay_received(nev_connection *from, nev_connection *to) {
  nev_mutex_guard guard(from->recv_buf.mutex);
  size_t n = from->recv_buf.len;
  if (n == 0) return;
  to->last_io_time = static_cast<int64_t>(nev_now());
  nev_buffer_append(&to->send_buf, from->recv_buf.data, n);
  nev_buffer_drop_front(&from->recv_buf, n);
  nev_connection_wake(to);
}

int nev_last_error(void) { return errno; }

// ---- Address texts and the traffic trace ----

int nev_conn_addr_to_str(nev_connection *conn, char *buf, size_t size, unsigned flags) {
  sockaddr_in addr{};
  nev_iface_get_address(conn, (flags & NEV_SOCK_STRINGIFY_REMOTE) != 0, &addr);
  return nev_sock_addr_to_str(&addr, buf, size, flags);
}

void nev_hexdump_connection(nev_connection *conn, const char *path, const void *bytes, int count, int event) {
  const char *mark = nullptr;
  switch (event) {
    case NEV_EVENT_ACCEPT:
      mark = "<A";
      break;
    case NEV_EVENT_CONNECT:
      mark = "C>";
      break;
    case NEV_EVENT_RECV:
      mark = "<-";
      break;
    case NEV_EVENT_SEND:
      mark = "->";
      break;
    case NEV_EVENT_CLOSE:
      mark = "XX";
      break;
    default:
      return;
  }
  FILE *out = nullptr;
  bool std_stream = true;
  if (strcmp(path, "-") == 0) {
    out = stdout;
  } else if (strcmp(path, "--") == 0) {
    out = stderr;
  } else {
    out = fopen(path, "a");
    std_stream = false;
  }
  if (out == nullptr) return;
  char local[60], remote[60];
  nev_conn_addr_to_str(conn, local, sizeof(local), NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_PORT);
  nev_conn_addr_to_str(conn, remote, sizeof(remote),
                       NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_PORT | NEV_SOCK_STRINGIFY_REMOTE);
  fprintf(out, "%lu %p %s %s %s %d\n", static_cast<unsigned long>(static_cast<uint32_t>(nev_now())),
          static_cast<void *>(conn), local, mark, remote, count);
  if (count > 0) nev_hexdump_file(out, bytes, count);
  if (!std_stream) fclose(out);
}

// ---- Threads ----

void nev_listener_enable_threads(nev_connection *listener) {
  listener->saved_handler = listener->user_handler;
  listener->user_handler = nev_threaded_accept;
}

void nev_threaded_accept(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  if (event != NEV_EVENT_ACCEPT) return;
  nev_manager *mgr = conn->manager;
  if (parent_stopping(mgr)) return;
  conn->handover_mutex = nev_mutex_create();
  nev_mutex_lock(conn->handover_mutex);
  nev_manager_detach(conn);
  conn->user_handler = conn->listener != nullptr && conn->listener->saved_handler != nullptr
                           ? conn->listener->saved_handler
                           : nev_null_handler;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  size_t stack = NEV_CONNECTION_THREAD_STACK;
#if defined(__SANITIZE_ADDRESS__)
  stack *= 4;  // instrumented frames are several times larger
#endif
  pthread_attr_setstacksize(&attr, stack);
  bool top = mgr->parent == nullptr && mgr->state != nullptr;
  pthread_t id;
  int err;
  if (top) {
    // Recorded under the registry mutex before the thread can finish, so the
    // manager's teardown can join every thread it started.
    std::lock_guard<std::mutex> guard(mgr->state->threads_mutex);
    err = pthread_create(&id, &attr, nev_connection_thread, conn);
    if (err == 0) mgr->state->threads.push_back(thread_record{id, false});
  } else {
    err = pthread_create(&id, &attr, nev_connection_thread, conn);
    if (err == 0) pthread_detach(id);
  }
  pthread_attr_destroy(&attr);
  if (err != 0) start_thread_failed(conn, err);
}

void *nev_connection_thread(void *arg) {
  auto *conn = static_cast<nev_connection *>(arg);
  nev_manager *parent = conn->manager;
  nev_manager child;
  setup_record(&child, parent->user_data, nev_iface_table, nev_iface_table_size, nullptr, nullptr);
  child.parent = parent;
  child.lock = parent->lock;
  child.hexdump_path = parent->hexdump_path;
  note_poller(&child);

  // The listener's thread holds the hand-over mutex until it is done with the
  // connection for this poll round.
  nev_mutex_lock(conn->handover_mutex);
  nev_mutex_unlock(conn->handover_mutex);
  nev_mutex_close(conn->handover_mutex);
  conn->handover_mutex = nullptr;

  {
    nev_rwlock_guard exclusive(parent->lock, nev_rwlock_mode::exclusive);
    __atomic_add_fetch(&parent->num_children, 1, __ATOMIC_ACQ_REL);
  }
  if (parent->state != nullptr) {
    std::lock_guard<std::mutex> guard(parent->state->threads_mutex);
    parent->state->children.push_back(&child);
  }

  conn->iface = child.num_ifaces > 0 ? child.ifaces[0] : nullptr;
  nev_manager_attach(&child, conn);
  conn->lock_held = 0;
  if (child.wake_fd == NEV_INVALID_SOCKET) {
    // Without its wake-up descriptor the thread could neither be stopped nor
    // woken for another thread's send: the connection ends instead.
    NEV_LOG(0, ("%p no descriptor for the thread's wake-up, closing", static_cast<void *>(conn)));
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
  run_connection_loop(&child);
  nev_manager_teardown(&child);

  // From here on nothing of the tree is touched but the parent's registry.
  nev_manager_state *pst = parent->state;
  if (pst != nullptr && parent->parent == nullptr) {
    std::lock_guard<std::mutex> guard(pst->threads_mutex);
    if (!pst->threads_detached) {
      for (auto &r : pst->threads)
        if (pthread_equal(r.id, pthread_self())) r.done = true;
    }
    std::lock_guard<std::mutex> wake_guard(pst->wake_mutex);
    if (parent->wake_fd != NEV_INVALID_SOCKET) {
      pst->wake_pending.store(true);
      signal_wake_fd(parent);
    }
  }
  return nullptr;
}

// ---- Reader/writer lock ----

pthread_rwlock_t *nev_srwlock_new(void) {
  auto *lock = new (std::nothrow) pthread_rwlock_t;
  if (lock == nullptr) return nullptr;
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  // A stop request or a thread start must not starve behind a stream of readers.
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  int rc = pthread_rwlock_init(lock, &attr);
  pthread_rwlockattr_destroy(&attr);
  if (rc != 0) {
    delete lock;
    return nullptr;
  }
  return lock;
}

void nev_srwlock_free(pthread_rwlock_t *lock) {
  if (lock == nullptr) return;
  pthread_rwlock_destroy(lock);
  delete lock;
}

void nev_srwlock_lock_exclusive(pthread_rwlock_t *lock) {
  int retval = pthread_rwlock_wrlock(lock);
  NEV_ASSERT(retval == 0);
}

void nev_srwlock_unlock_exclusive(pthread_rwlock_t *lock) {
  int retval = pthread_rwlock_unlock(lock);
  NEV_ASSERT(retval == 0);
}

void nev_srwlock_lock_shared(pthread_rwlock_t *lock) {
  int retval = pthread_rwlock_rdlock(lock);
  NEV_ASSERT(retval == 0);
}

void nev_srwlock_unlock_shared(pthread_rwlock_t *lock) {
  int retval = pthread_rwlock_unlock(lock);
  NEV_ASSERT(retval == 0);
}
