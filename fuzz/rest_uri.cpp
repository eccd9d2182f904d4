// The REST application's URI grammar and URL query as a request hands them
// over: "/api/v<n>/<resource>/<database>/<table>/<index or id>" under every
// method, and "top=N&skip=M" of a query.
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "gannet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const int method = in.byte() % (WEBAPP_METHOD_COUNT + 1);
  const std::string url = in.text();
  const std::string query = in.rest();

  // As the router walks the path before it reads the names.
  gannet::Segments segments(url.c_str());
  std::string segment;
  if (segments.next(&segment) && segment == "api" && segments.next(&segment) && segment[0] == 'v' &&
      std::strtol(segment.c_str() + 1, nullptr, 10) == 1) {
    gannet::Target target;
    if (segments.next(&target.resource)) {
      gannet::RouteError error;
      if (!gannet::readNames(segments, method, &target, &error)) {
        FUZZ_CHECK(error.status == 400 || error.status == 405);
      } else {
        FUZZ_CHECK(target.resource == "database" || !target.database.empty());
      }
    }
  }
  const fuzz::exact query_text = fuzz::c_text(query);
  gannet::Paging paging;
  gannet::parseUrlQuery(query_text.data(), &paging);
  return 0;
}
