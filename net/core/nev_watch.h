// Change notices for the files a connection keeps open between requests.
//
// A connection that served a file keeps it (and small bodies) for the next
// request of the same path; before it may answer from what it kept it must
// know the path still names the same, unchanged file. A stat per request
// proves it. The watches here prove it without one: the kernel queues a
// notice on the change notice descriptor before the call that changed a
// watched file or one of its directories returns, and every manager with a
// connection that keeps a watched file (nev_connection::wants_notices) polls
// that descriptor with its sockets. So when a client sends a request after a
// change has completed, the poll that reports the request also reports the
// notice; the poll step drains the notices and bumps the generation, and a
// kept file verified under an older generation is checked with a stat again.
//
// Only a request whose first byte was already in the socket when that poll
// returned is covered this way (nev_connection::poll_fresh): later requests
// of the same read (pipelined, or arrived between the poll and the read),
// requests over TLS, and paths that cannot be watched (through a symbolic
// link, past the bound on watched paths, a relative path with "..") keep the
// stat.
#ifndef NEV_WATCH_H
#define NEV_WATCH_H

#include <cstdint>

// The descriptor to poll for change notices; -1 while nothing is watched.
int nev_watch_fd(void);

// Reads the queued notices; one about a watched path bumps the generation and
// drops every watch (the next request of each path watches it afresh, on
// whatever file it then names).
void nev_watch_drain(void);

// The current generation: a value remembered with a verified file stays
// current until a change to a watched path is noticed. 0 while a drain is
// under way (nothing counts as verified then).
uint64_t nev_watch_generation(void);

// The calling thread's descriptor that reports (POLLPRI) a change of the
// mount table, which no watch sees: a mount over a watched directory or file
// makes the same names reach other files. -1 until the thread watched a path.
// Its manager polls it beside the change notice descriptor and, when it is
// reported, calls nev_watch_mounts_changed before it reads any request.
int nev_watch_mounts_fd(void);

// Bumps the generation and drops every watch, as a notice about a watched
// path does.
void nev_watch_mounts_changed(void);

// Watches path and each directory above it, so that a change that would make
// a fresh open reach another file, or the same file with other contents or
// permissions, queues a notice. Call before the stat or open that verifies
// the file, and read the generation before that too. Returns 0 when the path
// cannot be watched: the caller then checks with a stat on every request.
int nev_watch_path(const char *path);

// Watches the directories above path, as nev_watch_path does, and the
// arrival of an entry named path in its own directory (made, or renamed
// there). Returns 1 when nothing has that name after the watches are in
// place: until a notice bumps the generation it still has none. 0: not
// watchable, or the name is taken (the caller looks for itself). Every
// call looks again: the caller keeps what it learnt with the generation.
int nev_watch_absence(const char *path);

#endif  // NEV_WATCH_H
