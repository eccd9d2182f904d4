// Topic filters against topic names, as the broker matches a publication to
// its subscriptions: the input is a filter and a name (split at a NUL byte).
// Beside crashes it checks what the matcher promises: a filter without
// wildcards matches exactly its own name, "#" everything not starting with
// "$", and the slice and text forms agree.
#include <string>

#include "fuzz_input.h"
#include "nev_mqtt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const std::string filter = in.text();
  const std::string topic = in.rest();
  const fuzz::exact filter_bytes(filter);
  const fuzz::exact topic_bytes(topic);
  const nev_slice f{filter_bytes.data(), filter_bytes.size()};
  const nev_slice t{topic_bytes.data(), topic_bytes.size()};
  const int match = nev_mqtt_topic_match(f, t);
  FUZZ_CHECK(match == 0 || match == 1);
  const fuzz::exact filter_text = fuzz::c_text(filter);
  FUZZ_CHECK(nev_mqtt_topic_match_cstr(filter_text.data(), t) == match);
  if (filter.empty()) FUZZ_CHECK(match == 0);
  if (!filter.empty() && filter.find_first_of("+#") == std::string::npos) FUZZ_CHECK(match == (filter == topic));
  if (filter == "#" && !topic.empty()) FUZZ_CHECK(match == (topic[0] != '$'));
  // A name matches itself as a filter when it is one (no wildcards).
  if (!topic.empty() && topic.find_first_of("+#") == std::string::npos) FUZZ_CHECK(nev_mqtt_topic_match(t, t) == 1);
  return 0;
}
