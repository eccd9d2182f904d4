// Serves a document root the way the plug-in does (HTTP layer on a listener,
// one thread per accepted connection, every request to static serving) until
// SIGINT or SIGTERM. Usage: bench_server <port> <document root>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nev.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
nev_serve_options g_options{};

void on_signal(int) { g_stop = 1; }

void handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  if (unlock) unlock(conn);
  if (event == NEV_EVENT_HTTP_REQUEST) nev_http_serve_files(conn, static_cast<const nev_http_view *>(data), g_options);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <port> <document root>\n", argv[0]);
    return 2;
  }
  g_options.document_root = argv[2];
  g_options.enable_directory_listing = "no";
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  nev_log_set_level(-1);

  nev_manager mgr{};
  nev_manager_setup(&mgr, nullptr);
  const std::string address = std::string("127.0.0.1:") + argv[1];
  nev_connection *listener = nev_listen(&mgr, address.c_str(), handler);
  if (!listener) {
    std::fprintf(stderr, "bench_server: cannot listen on %s\n", address.c_str());
    return 1;
  }
  nev_http_attach(listener);
  nev_listener_enable_threads(listener);
  std::printf("bench_server: serving %s on %s\n", argv[2], address.c_str());
  std::fflush(stdout);
  while (!g_stop) nev_manager_poll(&mgr, 200);
  nev_manager_request_stop(&mgr);
  nev_manager_teardown(&mgr);
  return 0;
}
