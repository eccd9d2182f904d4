// The networking engine's contract header: other folders include this file
// only. Each area header states its own types, ownership and threading.
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
#include "nev_mqtt.h"
#include "nev_mqtt_broker.h"
#include "nev_http.h"
#include "nev_ws.h"
#include "nev_static.h"
#include "nev_cgi.h"
#include "nev_ssi.h"
#include "nev_client.h"
#include "nev_digest.h"
