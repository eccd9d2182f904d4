// The URI segment iterator. The REST application compiles this unit in too,
// so it depends on nothing but the C library.
#include "osprey.h"

#include <cstdlib>
#include <cstring>

bool uriSegmentsOpen(UriSegments* it, const char* uri, size_t length) {
  std::memset(it, 0, sizeof *it);
  if (uri == nullptr || length == 0) return true;
  it->text = static_cast<char*>(std::malloc(length + 1));
  if (it->text == nullptr) return false;
  std::memcpy(it->text, uri, length);
  it->text[length] = '\0';
  it->length = length;
  return true;
}

void uriSegmentsClose(UriSegments* it) {
  std::free(it->text);
  std::free(it->segment);
  it->text = nullptr;
  it->segment = nullptr;
  it->segmentCapacity = 0;
}

const char* uriSegmentsRest(const UriSegments* it) {
  if (it->text == nullptr || it->position < 0 || static_cast<size_t>(it->position) >= it->length) return "";
  return it->text + it->position;
}

char* nextUriSegment(UriSegments* it) {
  if (it->text == nullptr || it->position < 0) return nullptr;
  size_t start = static_cast<size_t>(it->position) + 1;  // past the separator
  if (start >= it->length) return nullptr;
  const char* slash = static_cast<const char*>(std::memchr(it->text + start, '/', it->length - start));
  size_t end = slash != nullptr ? static_cast<size_t>(slash - it->text) : it->length;
  size_t segmentLength = end - start;
  if (segmentLength == 0) return nullptr;
  if (it->segmentCapacity < segmentLength + 1) {
    char* grown = static_cast<char*>(std::malloc(segmentLength + 1));
    if (grown == nullptr) return nullptr;
    std::free(it->segment);
    it->segment = grown;
    it->segmentCapacity = segmentLength + 1;
  }
  std::memcpy(it->segment, it->text + start, segmentLength);
  it->segment[segmentLength] = '\0';
  it->position = static_cast<ptrdiff_t>(end);
  return it->segment;
}
