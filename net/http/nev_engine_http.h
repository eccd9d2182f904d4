// HTTP in the engine, the contract of net/http: the HTTP/1.1 layer and its
// reply helpers (nev_http.h), WebSocket (nev_ws.h), static files with their
// Digest authentication (nev_static.h, nev_digest.h), and what static serving
// hands elsewhere: CGI programs (nev_cgi.h), server-side includes
// (nev_ssi.h), the HTTP client, reverse proxy and port redirect
// (nev_client.h). All of it runs on net/core's connections and threads.
#pragma once

#include "nev_http.h"
#include "nev_ws.h"
#include "nev_static.h"
#include "nev_cgi.h"
#include "nev_ssi.h"
#include "nev_client.h"
#include "nev_digest.h"
