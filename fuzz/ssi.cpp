// Server-side include pages as the server reads them: the page split into
// text and directives, each directive read for its kind and arguments and an
// include's arguments turned into a path. The text handed on, directives
// aside, must be the page's bytes in order.
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "nev_ssi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const std::string page = in.rest();
  fuzz::exact bytes(page);
  FILE *file = fmemopen(bytes.data(), bytes.size() > 0 ? bytes.size() : 1, "r");
  if (file == nullptr) return 0;
  if (bytes.size() == 0) std::fgetc(file);  // an empty page
  std::string shown;
  size_t directives = 0;
  nev_ssi_scan(
      file, [&shown](const std::string &text) { shown += text; },
      [&](const std::string &tag) {
        ++directives;
        FUZZ_CHECK(tag.size() >= 7 && tag.compare(0, 5, "<!--#") == 0);
        FUZZ_CHECK(tag.size() <= NEV_SSI_MAX_TAG);
        const nev_ssi_directive directive = nev_ssi_parse_directive(tag);
        if (directive.kind == nev_ssi_directive::include) {
          const std::string path = nev_ssi_include_path("/srv/web/dir/page.shtml", directive.arguments, "/srv/web");
          FUZZ_CHECK(path.empty() || path.size() >= 1);
        }
      },
      [] {});
  std::fclose(file);
  // Without directives, every byte comes out as text.
  if (directives == 0 && page.find("<!--#") == std::string::npos) FUZZ_CHECK(shown == page);
  return 0;
}
