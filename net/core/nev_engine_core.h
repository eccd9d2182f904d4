// The engine's core, the contract of net/core: the event manager and its
// connections, sockets, listening, dialling and I/O, TLS, buffers, texts,
// codecs, the log and the DNS resolver. Each header states its own types,
// ownership and threading; the protocol layers (net/http, net/mqtt) build on
// these and nothing here calls them except through the handlers they install.
#pragma once

#include "nev_base.h"
#include "nev_buffer.h"
#include "nev_codec.h"
#include "nev_core.h"
#include "nev_dns.h"
#include "nev_file.h"
#include "nev_io.h"
#include "nev_log.h"
#include "nev_socket.h"
#include "nev_str.h"
#include "nev_tls.h"
