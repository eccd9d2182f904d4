// The networking engine's contract header: other folders include this file
// only. It gathers the contracts of the engine's folders (net/core, net/http,
// net/mqtt); each area header states its own types, ownership and threading.
#pragma once

#include "nev_engine_core.h"
#include "nev_engine_mqtt.h"
#include "nev_engine_http.h"
