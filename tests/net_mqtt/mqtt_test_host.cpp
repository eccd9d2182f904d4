// A tiny MQTT broker host for the tests with real clients: a manager with one
// threaded MQTT listener on 127.0.0.1 and the engine's broker core, which
// gives every protocol reply itself (the same code the broker application
// ships). Prints "PORT <n>" once it listens and stops cleanly on SIGTERM or
// SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "nev.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void broker_host_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  nev_broker_on_event(conn, event, data);
}

}  // namespace

int main(int argc, char **argv) {
  const char *address = argc > 1 ? argv[1] : "127.0.0.1:0";
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);

  nev_manager mgr;
  nev_manager_setup(&mgr, nullptr);
  nev_broker broker;
  nev_broker_setup(&broker, nullptr);

  const char *error = nullptr;
  nev_listen_options opts{};
  opts.error_text = &error;
  nev_connection *listener = nev_listen_with_options(&mgr, address, broker_host_handler, &opts);
  if (listener == nullptr) {
    fprintf(stderr, "cannot listen on %s: %s\n", address, error != nullptr ? error : "?");
    return 1;
  }
  nev_mqtt_attach(listener);
  nev_broker_bind_listener(listener, &broker);
  nev_listener_enable_threads(listener);

  sockaddr_in bound{};
  socklen_t len = sizeof(bound);
  getsockname(listener->sock, reinterpret_cast<sockaddr *>(&bound), &len);
  printf("PORT %d\n", ntohs(bound.sin_port));
  fflush(stdout);

  while (!g_stop) nev_manager_poll(&mgr, 200);

  nev_manager_request_stop(&mgr);
  listener->flags |= NEV_CONN_CLOSE_NOW;
  nev_manager_poll(&mgr, 0);
  if (nev_manager_teardown(&mgr) != 0) {
    fprintf(stderr, "connection threads still running at exit\n");
    return 2;
  }
  nev_broker_teardown(&broker);
  return 0;
}
