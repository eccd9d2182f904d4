// A CGI program's head as the pipe reads it: its length looked for after each
// read (the output arriving in two pieces cut where the input chooses), then
// the status line made from it. The status line goes to the client as it is,
// so it must be one line.
#include <string>

#include "fuzz_input.h"
#include "nev_cgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint16_t cut_at = in.u16();
  const std::string output = in.rest();
  const fuzz::exact whole(output);
  const long length = nev_cgi_head_length(whole.data(), whole.size());
  FUZZ_CHECK(length >= -1 && (length <= 0 || size_t(length) <= whole.size()));
  const fuzz::exact first(output.data(), cut_at % (output.size() + 1));
  const long first_length = nev_cgi_head_length(first.data(), first.size());
  // What the first read shows is the whole's answer, or "not yet".
  FUZZ_CHECK(first_length == length || first_length == 0);
  if (length <= 0) return 0;
  const std::string status = nev_cgi_status_line(whole.data(), size_t(length));
  if (status.empty()) return 0;
  FUZZ_CHECK(status.compare(0, 9, "HTTP/1.1 ") == 0);
  FUZZ_CHECK(status.size() >= 11 && status.compare(status.size() - 2, 2, "\r\n") == 0);
  FUZZ_CHECK(status.find_first_of("\r\n") == status.size() - 2);
  return 0;
}
