// The SQL client's dialect rewrite on statement texts as callers send them
// ("call p(args)", "select top N skip M ...", a trailing ZVOPTION), and the
// readers of stored CREATE texts. Every offset of the rewrite's map must lie
// inside the texts it maps between.
#include <string>

#include "fuzz_input.h"
#include "zv_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const std::string text = in.rest();
  if (mode & 1) {
    zvsql::parseTableConstraints(text);
    zvsql::parseTrigger(text);
    zvsql::viewBody(text);
    return 0;
  }
  for (const zvsql::Token &token : zvsql::tokenize(text)) {
    FUZZ_CHECK(token.begin + token.length <= text.size());
    if (token.kind == zvsql::TokenKind::Word || token.kind == zvsql::TokenKind::Quoted)
      zvsql::identifierOf(text, token);
  }
  const zvsql::Rewritten rewritten = zvsql::rewriteDialect(text);
  for (const auto &piece : rewritten.pieces) {
    FUZZ_CHECK(piece.outBegin + piece.length <= rewritten.text.size());
    if (piece.inBegin >= 0) FUZZ_CHECK(size_t(piece.inBegin) + piece.length <= text.size());
  }
  for (long at = 0; at <= long(rewritten.text.size()); at += 7) {
    const long back = rewritten.callerOffset(at);
    FUZZ_CHECK(back >= -1 && back <= long(text.size()));
  }
  rewritten.mentions("rowid");
  return 0;
}
