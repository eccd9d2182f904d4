// CGI programs: environment, process start and the pipe that relays their
// output to the client.
#include "nev_cgi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "nev_codec.h"
#include "nev_file.h"
#include "nev_log.h"
#include "nev_socket.h"

extern char **environ;

namespace {

// Output waiting for a slow client at most: beyond it the pipe is not read
// until the client has taken some.
constexpr size_t CLIENT_BACKLOG_LIMIT = 1u << 20;
constexpr size_t PIPE_RECV_LIMIT = 256u * 1024;
constexpr size_t SHEBANG_LINE_MAX = 255;

// The running program: the pipe connection's protocol data, so it is killed
// and reaped whenever and however the pipe is destroyed.
struct cgi_program {
  pid_t pid = -1;
  bool head_sent = false;   // the client has its status line
  bool any_output = false;  // the program wrote something
};

void end_program(void *data) {
  std::unique_ptr<cgi_program> program(static_cast<cgi_program *>(data));
  if (program->pid <= 0) return;
  // The group outlives its leader only while the leader is unreaped, so the
  // group id cannot have been reused yet.
  kill(-program->pid, SIGKILL);
  while (waitpid(program->pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

cgi_program *program_of(nev_connection *pipe) { return static_cast<cgi_program *>(pipe->proto_data); }
nev_connection *client_of(nev_connection *pipe) { return static_cast<nev_connection *>(pipe->user_data); }

std::string text_of(nev_slice s) { return s.p != nullptr ? std::string(s.p, s.len) : std::string(); }

std::string address_text(const sockaddr_in &a) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return ip;
}

// "HTTP_" and the header's name upper-cased, "-" as "_".
std::string http_variable_name(nev_slice header) {
  std::string name = "HTTP_";
  for (size_t i = 0; i < header.len; ++i)
    name += header.p[i] == '-' ? '_' : char(std::toupper(static_cast<unsigned char>(header.p[i])));
  return name;
}

// SCRIPT_NAME: the URI without the path info, or for a directory served by
// its index script, the directory's URI and the script's file name.
std::string script_name(const nev_http_view *request, nev_slice path_info, const char *script_path) {
  const size_t before_info = request->uri.len - path_info.len;
  if (before_info > 0 && request->uri.p[before_info - 1] == '/') {
    const char *slash = std::strrchr(script_path, '/');
    return std::string(request->uri.p, before_info - 1) + "/" + (slash != nullptr ? slash + 1 : script_path);
  }
  return std::string(request->uri.p, before_info);
}

// The interpreter of a script: cgi_interpreter, else its "#!" line (the
// program and at most one argument, as the kernel reads it).
std::vector<std::string> interpreter_of(const char *script_path, const nev_serve_options &options) {
  if (options.cgi_interpreter != nullptr && *options.cgi_interpreter != '\0') return {options.cgi_interpreter};
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(script_path, "re"), std::fclose);
  char line[SHEBANG_LINE_MAX + 1] = "";
  if (!file || std::fgets(line, sizeof line, file.get()) == nullptr || std::strncmp(line, "#!", 2) != 0) return {};
  std::string rest(line + 2);
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
  const size_t start = rest.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  rest = rest.substr(start);
  const size_t blank = rest.find_first_of(" \t");
  if (blank == std::string::npos) return {rest};
  const size_t argument = rest.find_first_not_of(" \t", blank);
  return {rest.substr(0, blank), rest.substr(argument)};
}

// The request body as a file the program reads as its standard input.
int body_file(nev_slice body) {
  nev_unique_fd fd(memfd_create("cgi-request-body", MFD_CLOEXEC));
  if (fd.get() < 0) return -1;
  size_t done = 0;
  while (done < body.len) {
    const ssize_t n = ::write(fd.get(), body.p + done, body.len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += size_t(n);
  }
  if (lseek(fd.get(), 0, SEEK_SET) != 0) return -1;
  return fd.release();
}

// Starts the program with stdin from body_fd and stdout to output_fd.
// Returns its pid, or -1.
pid_t start_program(const std::vector<std::string> &argv_texts, const nev_cgi_env &env, const char *directory,
                    int body_fd, int output_fd) {
  std::vector<char *> argv, envp;
  for (const std::string &a : argv_texts) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string &v : env.variables) envp.push_back(const_cast<char *>(v.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, body_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, directory);
  // Whatever the server has open (sockets, files, databases) stays ours,
  // close-on-exec or not.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // A group of its own, so a time-out kills what the program started too;
  // the server ignores SIGPIPE, which the program must not inherit.
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    NEV_LOG(1, ("CGI command [%s] not started: %s", argv[0], std::strerror(rc)));
    return -1;
  }
  NEV_LOG(3, ("CGI command: [%s] -> %d", argv[0], int(pid)));
  return pid;
}

}  // namespace

long nev_cgi_head_length(const char *data, size_t len) {
  // No header at all: the blank line comes first.
  if (len >= 1 && data[0] == '\n') return 1;
  if (len >= 2 && data[0] == '\r' && data[1] == '\n') return 2;
  for (size_t i = 0; i < len && i < NEV_CGI_MAX_HEAD; ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < len && data[i + 1] == '\n') return long(i + 2);
    if (i + 2 < len && data[i + 1] == '\r' && data[i + 2] == '\n') return long(i + 3);
  }
  return len >= NEV_CGI_MAX_HEAD ? -1 : 0;
}

// A Status value that can stand in a status line: a three-digit code, then
// nothing or a blank and a reason without control bytes (a CR would end the
// line the client reads early and make the rest of it a header of its own).
static bool status_value_valid(nev_slice value) {
  if (value.len < 3 || (value.len > 3 && value.p[3] != ' ')) return false;
  for (size_t i = 0; i < 3; ++i)
    if (value.p[i] < '0' || value.p[i] > '9') return false;
  for (size_t i = 3; i < value.len; ++i) {
    const unsigned char c = static_cast<unsigned char>(value.p[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

std::string nev_cgi_status_line(const char *head, size_t length) {
  std::string status = "200 OK";
  bool location = false;
  const char *p = head;
  const char *end = head + length;
  while (p < end) {
    const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
    const char *line_end = lf != nullptr ? lf : end;
    const char *stop = line_end > p && line_end[-1] == '\r' ? line_end - 1 : line_end;
    if (stop > p) {
      const char *colon = static_cast<const char *>(std::memchr(p, ':', size_t(stop - p)));
      if (colon == nullptr || colon == p) return std::string();
      const nev_slice name{p, size_t(colon - p)};
      const nev_slice value = nev_slice_strip(nev_slice{colon + 1, size_t(stop - colon - 1)});
      if (nev_slice_casecmp_cstr(name, "Location") == 0) location = true;
      if (nev_slice_casecmp_cstr(name, "Status") == 0 && value.len > 0) {
        if (!status_value_valid(value)) return std::string();
        status = text_of(value);
      }
    }
    p = line_end + 1;
  }
  return "HTTP/1.1 " + (location ? std::string("302 Moved") : status) + "\r\n";
}

namespace {

// Ends the client's side of the request: nothing more comes from the pipe.
void detach_client(nev_connection *pipe, nev_connection *client) {
  if (nev_http_proto_data *pd = nev_http_proto_data_get(client)) pd->cgi_pipe = nullptr;
  client->flags |= NEV_CONN_CLOSE_AFTER_SEND;
  nev_connection_wake(client);
  pipe->user_data = nullptr;
}

// The error reply when the client has no head yet; a reply under way is
// cut short. The program's output is dropped and the program killed.
void fail_request(nev_connection *pipe, nev_connection *client, int status, const char *text) {
  cgi_program *program = program_of(pipe);
  if (!program->head_sent) nev_http_send_error(client, status, text, nullptr);
  program->head_sent = true;
  {
    nev_mutex_guard guard(pipe->recv_buf.mutex);
    nev_buffer_clear(&pipe->recv_buf);
  }
  detach_client(pipe, client);
  pipe->flags |= NEV_CONN_CLOSE_NOW;
}

// Relays what the program wrote, once its head has given the status line.
void relay_output(nev_connection *pipe, nev_connection *client) {
  cgi_program *program = program_of(pipe);
  if (pipe->recv_buf.len > 0) program->any_output = true;
  if (!program->head_sent) {
    std::string status;
    {
      nev_mutex_guard guard(pipe->recv_buf.mutex);
      const long length = nev_cgi_head_length(pipe->recv_buf.data, pipe->recv_buf.len);
      if (length == 0) return;
      if (length > 0) status = nev_cgi_status_line(pipe->recv_buf.data, size_t(length));
    }
    if (status.empty()) {
      fail_request(pipe, client, 500, "Bad headers");
      return;
    }
    nev_enqueue(client, status.data(), status.size());
    program->head_sent = true;
  }
  if (nev_connection_send_backlog(client) < CLIENT_BACKLOG_LIMIT) nev_relay_received(pipe, client);
}

// The program's output ended: the rest goes to the client, or the error
// when no whole head ever came.
void finish(nev_connection *pipe, nev_connection *client) {
  relay_output(pipe, client);
  if (client_of(pipe) == nullptr) return;  // failed while relaying
  cgi_program *program = program_of(pipe);
  if (!program->head_sent) {
    fail_request(pipe, client, 500, program->any_output ? "Bad headers" : "CGI program wrote nothing");
    return;
  }
  nev_relay_received(pipe, client);
  detach_client(pipe, client);
}

void pipe_handler(nev_connection *pipe, int event, void *data, nev_unlock_fn unlock) {
  (void)data;
  if (unlock != nullptr) unlock(pipe);
  nev_connection *client = client_of(pipe);
  if (client == nullptr) {
    pipe->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  switch (event) {
    case NEV_EVENT_RECV:
    case NEV_EVENT_POLL:
      relay_output(pipe, client);
      break;
    case NEV_EVENT_TIMER:
      NEV_LOG(1, ("%p CGI program %d timed out", static_cast<void *>(client), int(program_of(pipe)->pid)));
      fail_request(pipe, client, 504, "CGI program timed out");
      break;
    case NEV_EVENT_CLOSE:
      NEV_LOG(4, ("%p CLOSE", static_cast<void *>(pipe)));
      finish(pipe, client);
      break;
    default:
      break;
  }
}

std::string local_port_text(nev_connection *conn, sockaddr_in *local) {
  nev_iface_get_address(conn, 0, local);
  return std::to_string(ntohs(local->sin_port));
}

}  // namespace

bool nev_cgi_env::add(const std::string &name, nev_slice value) {
  const size_t size = name.size() + 1 + value.len + 1;
  if (variables.size() >= NEV_CGI_MAX_VARIABLES || used + size > NEV_CGI_ENV_SIZE) return false;
  variables.push_back(name + "=" + text_of(value));
  used += size;
  return true;
}

void nev_cgi_prepare_env(nev_connection *conn, const char *script_path, nev_slice path_info,
                         const nev_http_view *request, const nev_serve_options &options, nev_cgi_env &env) {
  auto add = [&env](const char *name, const std::string &value) {
    env.add(name, nev_slice{value.data(), value.size()});
  };
  sockaddr_in local{};
  const std::string port = local_port_text(conn, &local);
  const char *server_name = std::getenv("SERVER_NAME");
  add("SERVER_NAME", server_name != nullptr ? server_name : address_text(local) + ":" + port);
  add("SERVER_ROOT", options.document_root);
  add("DOCUMENT_ROOT", options.document_root);
  add("SERVER_SOFTWARE", NEV_VERSION_TEXT);
  add("GATEWAY_INTERFACE", "CGI/1.1");
  add("SERVER_PROTOCOL", "HTTP/1.1");
  add("REDIRECT_STATUS", "200");
  add("REQUEST_METHOD", text_of(request->method));
  add("REQUEST_URI", text_of(request->uri) + (request->query.len ? "?" + text_of(request->query) : ""));
  add("REMOTE_ADDR", address_text(conn->peer));
  add("SERVER_PORT", port);
  add("SCRIPT_NAME", script_name(request, path_info, script_path));
  add("SCRIPT_FILENAME", script_path);
  if (path_info.len > 0) {
    add("PATH_INFO", text_of(path_info));
    add("PATH_TRANSLATED", text_of(path_info));
  }
  add("HTTPS", (conn->flags & NEV_CONN_TLS) ? "on" : "off");
  if (const nev_slice *type = nev_http_find_header(request, "Content-Type")) add("CONTENT_TYPE", text_of(*type));
  if (request->query.len > 0) add("QUERY_STRING", text_of(request->query));
  if (const nev_slice *length = nev_http_find_header(request, "Content-Length"))
    add("CONTENT_LENGTH", text_of(*length));
  for (const char *name : {"PATH", "TMP", "TEMP", "TMPDIR", "PERLLIB", "NEV_CGI"})
    if (const char *value = std::getenv(name)) add(name, value);
  for (size_t i = 0; request->header_name[i].len > 0; ++i) {
    // "Proxy: x" would become HTTP_PROXY, which programs take for their
    // outgoing proxy: a client could route the program's requests.
    if (nev_slice_casecmp_cstr(request->header_name[i], "Proxy") == 0) continue;
    env.add(http_variable_name(request->header_name[i]), request->header_value[i]);
  }
}

void nev_cgi_run(nev_connection *conn, const char *script_path, nev_slice path_info, const nev_http_view *request,
                 const nev_serve_options &options) {
  NEV_LOG(4, ("%p [%s]", static_cast<void *>(conn), script_path));
  char absolute[PATH_MAX];
  char root[PATH_MAX];
  if (realpath(script_path, absolute) == nullptr || realpath(options.document_root, root) == nullptr) {
    nev_http_send_error(conn, 500, "CGI failure", options.extra_headers);
    return;
  }
  nev_cgi_env env;
  nev_cgi_prepare_env(conn, absolute, path_info, request, options, env);
  std::vector<std::string> argv = interpreter_of(absolute, options);
  argv.push_back(absolute);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  nev_unique_fd ours(pair[0]), theirs(pair[1]);
  nev_unique_fd body(body_file(request->body));
  // The program runs in its own directory, so that it finds the files
  // beside it by their plain names.
  std::string directory(absolute);
  directory.erase(directory.rfind('/') == 0 ? 1 : directory.rfind('/'));
  const pid_t pid = body.get() < 0 ? -1 : start_program(argv, env, directory.c_str(), body.get(), theirs.get());
  if (pid < 0) {
    nev_http_send_error(conn, 500, "CGI failure", options.extra_headers);
    return;
  }
  auto program = std::make_unique<cgi_program>();
  program->pid = pid;
  nev_connection_options co{};
  co.user_data = conn;
  nev_connection *pipe = nev_wrap_socket_with_options(conn->manager, ours.get(), pipe_handler, &co);
  if (pipe == nullptr) {
    end_program(program.release());
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  ours.release();
  pipe->proto_data = program.release();
  pipe->proto_data_destructor = end_program;
  pipe->recv_limit = PIPE_RECV_LIMIT;
  const int timeout_s = options.cgi_timeout_s > 0 ? options.cgi_timeout_s : NEV_CGI_DEFAULT_TIMEOUT_S;
  nev_timer_set(pipe, nev_now() + timeout_s);
  nev_http_proto_data *pd = nev_http_proto_data_get(conn);
  if (pd == nullptr) pd = nev_http_proto_data_create(conn);
  pd->cgi_pipe = pipe;
}

void nev_cgi_client_gone(nev_connection *pipe) {
  pipe->user_data = nullptr;
  pipe->flags |= NEV_CONN_CLOSE_NOW;
}
