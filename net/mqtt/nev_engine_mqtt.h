// MQTT in the engine, the contract of net/mqtt: the MQTT 3.1.1 codec, the
// protocol layer with its client senders and keep-alive (nev_mqtt.h), and the
// broker core that hosts such as starling build on (nev_mqtt_broker.h). Both
// run on net/core's connections and threads.
#pragma once

#include "nev_mqtt.h"
#include "nev_mqtt_broker.h"
