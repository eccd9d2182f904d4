// The plug-in osprey (web/osprey.so): its contract.
//
// Exports (declared in include/osprey_plugin.h and include/osprey_webapp.h):
//   zvPlugin_init(info or null, log, webDirectory) -> 0; 8001 when the
//       connection-type registry cannot be allocated.
//   zvPlugin_start(context or null) -> runs the server on the caller's thread
//       and returns when it has ended: 0, 8009 (already running or the
//       database server shutting down), 8001, 9006 (no configuration), 8008 (a
//       database-server function missing), an application's init code, or
//       after a run the broker's / the agent hand-over's last code.
//   zvPlugin_stop() -> 0, from another thread; returns when the server has
//       ended and its record is freed.
//   zvPlugin_term() -> 0: stops a running server, deletes the registry.
//   zvPlugin_call(1, ...) -> 0 and the osprey.json text; 153 (buffer too
//       small, *length set), 454 (unknown operation), 100 (not started).
//   utilkeywds: two UTILKW rows, "USERID" and "PASSWD".
//
// Configuration: osprey.json from ../config/, else ./config/ (only when the
// first does not exist). Applications: web/<library> (".dll" read as ".so",
// no extension gets ".so"), loaded with RTLD_NOW | RTLD_LOCAL.
//
// Threading: zvPlugin_start's thread is the server thread; zvPlugin_stop and
// zvPlugin_term may be called from any other thread; zvPlugin_call from any
// thread at any time. Application routers and websocket handlers run on the
// connection threads; no application's term runs while one of its calls does.
//
// Below: the pure helpers of request dispatch, which the unit tests drive and
// which the REST application compiles in (the URI iterator).
#ifndef OSPREY_OSPREY_H
#define OSPREY_OSPREY_H

#include <cstddef>

// State of nextUriSegment. text and segment come from malloc and are freed by
// uriSegmentsClose. A segment is valid until the next call.
struct UriSegments {
  char* text;  // NUL-terminated copy of the URI; null when empty
  size_t length;
  ptrdiff_t position;  // index of the separator before the next segment
  char* segment;       // the current segment
  size_t segmentCapacity;
};

// Copies the URI; false when memory runs out (the iterator is then empty).
bool uriSegmentsOpen(UriSegments* it, const char* uri, size_t length);
void uriSegmentsClose(UriSegments* it);
// The next '/'-separated segment, or null (no text, at the end, or an empty
// segment, which ends the walk).
char* nextUriSegment(UriSegments* it);
// What follows the segments taken so far ("/..."), or "" when nothing does.
const char* uriSegmentsRest(const UriSegments* it);

// Folds every "\u00XX" escape of a request body into the character it names,
// written in UTF-8 (one byte below 0x80, two above), in one left-to-right pass. Other escapes (an escaped backslash above all) are
// skipped whole, and escapes of bytes below 0x20, '"' and '\' stay for the
// JSON parser, so the folding never changes the structure of the JSON text.
// Returns the new length and terminates the text when it got shorter.
size_t foldUnicodeEscapes(char* text, size_t length);

// True when a Content-Type value names a charset that begins "iso-8859".
bool contentTypeIsIso8859(const char* value, size_t length);

// Basic credentials, each at most 64 characters.
constexpr size_t kCredentialMax = 64;
constexpr size_t kBasicDecodedMax = 256;
struct BasicCredentials {
  char user[kCredentialMax + 1];
  char password[kCredentialMax + 1];
};

// Reads an Authorization value "Basic <base64 of user[:password]>". The user
// is the text before the first ':' (1 to 64 characters), the password the rest
// (up to 64; empty without ':'), a trailing line end dropped. False when the
// value is not Basic, too long to decode into the bounded buffer, a part is
// out of range, or the text holds a NUL byte or a line break (never cut).
bool decodeBasicCredentials(const char* value, size_t length, BasicCredentials* out);

// True when the client asked to end the connection after this reply: a
// "close" token in its Connection header, or a protocol other than HTTP/1.1
// without a "keep-alive" token. connection may be null (no header).
bool requestWantsClose(const char* protocol, size_t protocolLength, const char* connection, size_t connectionLength);

// WEBAPP_METHOD_* by the method's first characters ("POSTX" counts as POST);
// 0 for any other method.
int webAppMethodCode(const char* method, size_t length);

#endif  // OSPREY_OSPREY_H
