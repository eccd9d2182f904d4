// VOKTBasic: the runtime library shared by every deliverable (web/VOKTBasic.so).
//
// One copy of this library is loaded per process, so everything below is
// shared across shared objects: blocks from VOKTAlloc may be freed by another
// deliverable with VOKTFree, a YXException thrown in one shared object is
// caught by type in another, and JSON trees built in one are released in
// another.
//
// Contents
//   YXException        the error value of the utility library, the plug-in and
//                      the MQTT broker; thrown by value, caught by reference.
//   VOKTAlloc/VOKTFree the allocator for memory that crosses deliverables.
//   zvJson*            thin helpers over json-c's json_object; callers may use
//                      json-c directly as well (it is linked PUBLIC).
//
// JSON ownership
//   - A value added to an object or array belongs to it (zvJsonAdd flag 1 adds
//     a reference instead, so the caller keeps its own). When an add fails the
//     value handed over is released, so ownership never stays in limbo.
//   - Texts read from a value (zvJsonGetString, zvJsonGetStringByName,
//     zvJsonToString) stay owned by that value: valid until it is changed or
//     released; the caller never frees them.
//   - zvJsonRelease frees a tree and everything it owns; null is ignored.
//
// Threading
//   VOKTAlloc, VOKTFree and YXException are safe from any thread. A JSON tree
//   is not locked: one thread at a time per tree (json-c's reference counts are
//   not atomic here).
//
// Reply marking (the tools' and the administration API's replies)
//   zvJsonSetSuccess(reply)          "success": true, and any error members of
//                                    an earlier zvJsonSetError are removed.
//   zvJsonSetError(code, msg, reply) "success": (code == 0), "errorCode": code,
//                                    "errorMessage": msg (empty text for null).
//   The last call wins: zvJsonSetError after zvJsonSetSuccess leaves an error
//   reply; zvJsonSetError(0, "Success", reply) is the administration API's
//   success mark.
#ifndef VOKTBASIC_H
#define VOKTBASIC_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <json-c/json.h>

#define VOKT_API __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Exception
// ---------------------------------------------------------------------------

// Kinds of YXException (nothing reads them back; they classify the failure).
enum YXExceptionKind {
  YX_KIND_SYSTEM = 0,     // system or allocation failure
  YX_KIND_OPERATION = 1,  // operation error
  YX_KIND_NOT_FOUND = 2,  // not found or exhausted
  YX_KIND_ARGUMENT = 3    // invalid argument
};

// The message is copied into the exception (at most YX_EXCEPTION_MSG_MAX - 1
// characters, longer texts are cut), so it stays valid while the exception
// lives whatever happens to the caller's buffer. Constructing never throws and
// never allocates.
class VOKT_API YXException : public std::exception {
 public:
  static constexpr int YX_EXCEPTION_MSG_MAX = 1024;
  static constexpr int YX_EXCEPTION_NAME_MAX = 128;

  // reserved1/reserved2: callers pass 0 and null (kept for the older form).
  YXException(int reserved1, const char* reserved2, const char* function, int kind, int code, const char* message,
              const char* file, int line) noexcept;
  YXException(const char* function, int kind, int code, const char* message, const char* file, int line) noexcept;
  YXException(const YXException& other) noexcept;
  YXException& operator=(const YXException& other) noexcept;
  virtual ~YXException();

  int GetErrorCode() const noexcept { return code_; }
  const char* GetErrorMsg() const noexcept { return message_; }
  int GetKind() const noexcept { return kind_; }
  const char* GetFunction() const noexcept { return function_; }
  const char* GetFile() const noexcept { return file_; }
  int GetLine() const noexcept { return line_; }
  const char* what() const noexcept override { return message_; }

 private:
  void _set(const char* function, int kind, int code, const char* message, const char* file, int line) noexcept;

  int code_ = 0;
  int kind_ = 0;
  int line_ = 0;
  char function_[YX_EXCEPTION_NAME_MAX] = {};
  char file_[YX_EXCEPTION_NAME_MAX] = {};
  char message_[YX_EXCEPTION_MSG_MAX] = {};
};

// ---------------------------------------------------------------------------
// Allocator
// ---------------------------------------------------------------------------

// A block of size bytes (a size of 0 still gives a valid, freeable block), or
// null when memory runs out or size is negative. Callers report null as 8001.
VOKT_API void* VOKTAlloc(int size);
// Frees a block from VOKTAlloc, from any deliverable; null is ignored.
VOKT_API void VOKTFree(void* block);

// ---------------------------------------------------------------------------
// The client being served
// ---------------------------------------------------------------------------

// The address (IP text, no port) of the client whose request or websocket
// frame this thread is serving: the plug-in sets it around every call of an
// application's router, session and handler, so that a credential check can
// count failures per address. "" outside such a call. Valid until the call
// returns.
VOKT_API const char* VOKTClientAddress();
// Sets this thread's client address (null clears it); the plug-in's.
VOKT_API void VOKTSetClientAddress(const char* address);
// Non-zero when the client whose request this thread is serving has ended
// its connection (closed, reset, or shut its sending side), so that work
// whose answer nobody can receive any more may stop: a statement's interrupt
// check, a walk over many records. Asking reads nothing from the connection
// (a request the client sent ahead stays for the plug-in) and costs one
// system call: ask it between rows at a pace, not for each. 0 outside a
// request, and on threads other than the one serving it.
VOKT_API int VOKTClientGone();
// The same probe of a given connection (its socket), for work that runs
// away from the thread serving the request; 0 for a socket below 0.
VOKT_API int VOKTSocketGone(int socket);
// Sets this thread's client connection (its socket; -1 clears it); the plug-in's.
VOKT_API void VOKTSetClientSocket(int socket);

// Owner of a VOKTAlloc block (dupStr copies included): freed with VOKTFree
// when the owner ends, unless release() handed it on.
struct VOKTBlockDeleter {
  void operator()(void* block) const noexcept { VOKTFree(block); }
};
template <class T>
using VOKTBlock = std::unique_ptr<T, VOKTBlockDeleter>;
using VOKTText = VOKTBlock<char>;

// ---------------------------------------------------------------------------
// JSON
// ---------------------------------------------------------------------------

// New values; null only when memory runs out. The string is copied; a null
// text gives an empty string.
VOKT_API json_object* zvJsonAlloc();
VOKT_API json_object* zvJsonAllocArray();
VOKT_API json_object* zvJsonAllocString(const char* text);
VOKT_API json_object* zvJsonAllocInt(int32_t value);
VOKT_API json_object* zvJsonAllocBigint(int64_t value);
VOKT_API json_object* zvJsonAllocBoolean(int value);
VOKT_API json_object* zvJsonAllocDouble(double value);

// Adds value under key, replacing a member of the same key; a null value adds
// JSON null. flag 0 hands the value to the object; flag 1 adds a reference so
// the caller (or another parent) keeps it too. Returns 0, or -1 when object
// is not a JSON object, key is null or memory runs out (the value handed over
// is then released, the caller's own reference of flag 1 is kept).
VOKT_API int zvJsonAdd(json_object* object, const char* key, json_object* value, int flag = 0);
// Typed adds: 0 or -1 as zvJsonAdd. A null text adds JSON null.
VOKT_API int zvJsonAddString(json_object* object, const char* key, const char* value);
VOKT_API int zvJsonAddInt(json_object* object, const char* key, int32_t value);
VOKT_API int zvJsonAddBigint(json_object* object, const char* key, int64_t value);
VOKT_API int zvJsonAddBoolean(json_object* object, const char* key, int value);
VOKT_API int zvJsonAddDouble(json_object* object, const char* key, double value);
// Adds seconds since 1970 (UTC) as the text "YYYY-MM-DDTHH:MM:SSZ".
VOKT_API int zvJsonAddTimestamp(json_object* object, const char* key, int64_t seconds);

// Appends value to array (ownership passes; null appends JSON null). Returns 0,
// or -1 when array is not a JSON array or memory runs out (value released).
VOKT_API int zvJsonArrayAdd(json_object* array, json_object* value);
// Element count; 0 for null or a value that is not an array.
VOKT_API int zvJsonArrayLength(json_object* array);
// The element at index (owned by the array), or null when array is not an
// array or index is out of range.
VOKT_API json_object* zvJsonArrayGetIdx(json_object* array, int index);
// Same, through out; returns non-zero when the index is in range.
VOKT_API int zvJsonArrayGetIdx(json_object* array, int index, json_object** out);

// Member lookups: non-zero when the member is present, and out receives it.
// zvJsonGetByName also reports a JSON null member (out = null). The typed
// forms report 0, and leave out untouched, when the member is absent or JSON
// null; zvJsonGetArrayByName also when it is not an array. Typed reads convert
// as json-c does (an int member read as string gives its text, "12" read as
// int gives 12). Strings stay owned by the object.
VOKT_API int zvJsonGetByName(json_object* object, const char* key, json_object** out);
VOKT_API int zvJsonGetStringByName(json_object* object, const char* key, const char** out);
VOKT_API int zvJsonGetIntByName(json_object* object, const char* key, int32_t* out);
VOKT_API int zvJsonGetBigintByName(json_object* object, const char* key, int64_t* out);
VOKT_API int zvJsonGetBooleanByName(json_object* object, const char* key, int* out);
VOKT_API int zvJsonGetBooleanByName(json_object* object, const char* key, bool* out);
VOKT_API int zvJsonGetArrayByName(json_object* object, const char* key, json_object** out);

// Reads of a value itself (null value: null text, 0, false, json_type_null).
VOKT_API const char* zvJsonGetString(json_object* value);
VOKT_API int32_t zvJsonGetInt(json_object* value);
VOKT_API int64_t zvJsonGetBigint(json_object* value);
VOKT_API int zvJsonGetBoolean(json_object* value);
VOKT_API json_type zvJsonGetType(json_object* value);

// Bounds of every parse in the process, so that no document a client sends
// can take the memory or the stack: arrays and objects nest at most
// VOKT_JSON_MAX_DEPTH levels deep (a parser of an application's own, and any
// recursive walk of a tree, keeps to the same depth); a document holds at
// most VOKT_JSON_MAX_VALUES values; and the trees parsed from large texts
// that are alive at once are estimated at VOKT_JSON_PARSE_BUDGET bytes at
// most (one such tree alone always fits). Freeing a large tree returns the
// heap's free memory to the system.
constexpr int VOKT_JSON_MAX_DEPTH = 32;
constexpr size_t VOKT_JSON_MAX_VALUES = 262144;
constexpr size_t VOKT_JSON_PARSE_BUDGET = size_t(128) << 20;

// Why the last parse of this thread (zvJsonFromString, zvJsonFileLoad) gave
// null; offset is the byte where a syntax fault or the depth bound was met.
enum VOKTJsonParseError {
  VOKT_JSON_PARSED = 0,
  VOKT_JSON_SYNTAX = 1,      // not JSON (or a NUL byte inside)
  VOKT_JSON_TOO_DEEP = 2,    // nested deeper than VOKT_JSON_MAX_DEPTH
  VOKT_JSON_TOO_LARGE = 3,   // more than VOKT_JSON_MAX_VALUES values
  VOKT_JSON_BUSY = 4,        // the parse budget is taken by others: try later
  VOKT_JSON_UNREADABLE = 5,  // the file could not be read
};
struct VOKTJsonParseStatus {
  VOKTJsonParseError error;
  size_t offset;
};
VOKT_API VOKTJsonParseStatus zvJsonLastParseStatus();

// json-c clamps an integer literal outside the signed 64-bit range to the
// range's end, so no caller could tell it did not fit. This appends ".0" to
// each such literal of text (in a copy, widened) so that it parses as a
// double: a caller wanting an integer then sees that it is out of range.
// False, widened untouched, when text holds none. The parses below apply it.
VOKT_API bool zvJsonWidenLargeIntegers(const char* text, size_t length, std::string& widened);
// The JSON text of a value parsed from widened text, its integers back as
// they were written: the ".0" after each integer literal outside the signed
// 64-bit range is taken away (a value that keeps JSON as JSON, not as a
// number of an integer field). One such literal the sender wrote with ".0"
// loses it too: the same number.
VOKT_API std::string zvJsonNarrowWidenedIntegers(const char* text);

// Parses text (all of it; trailing non-blank characters make it invalid).
// Returns the new value, also stored in *out when out is given, or null when
// text is null, not JSON or past the bounds above (zvJsonLastParseStatus says
// which). The caller releases the result.
VOKT_API json_object* zvJsonFromString(const char* text, json_object** out = nullptr);
// Parses a file the same way; null when it cannot be read or does not parse.
VOKT_API json_object* zvJsonFileLoad(const char* path, json_object** out = nullptr);
// Writes object to path, pretty-printed, replacing the file in one step
// (a temporary file renamed over it, so a failed write never leaves a cut
// file behind; the file keeps its permissions). Returns 0 when written, else
// the errno of the failure (EINVAL for a null path or object, -1 when the
// object cannot be serialised).
VOKT_API int zvJsonFileDumpExt(const char* path, json_object* object);
// The compact text of object (null for a null object); the text is owned by
// the object. Also stored in *out when out is given.
VOKT_API const char* zvJsonToString(json_object* object, const char** out = nullptr);

// Frees a tree (drops one reference); null is ignored.
VOKT_API void zvJsonRelease(json_object* object);
// Owner of a JSON tree: zvJsonRelease when the owner ends, unless release()
// handed the tree on.
struct zvJsonDeleter {
  void operator()(json_object* object) const noexcept { zvJsonRelease(object); }
};
using zvJsonPtr = std::unique_ptr<json_object, zvJsonDeleter>;

// Marks reply (a JSON object) as successful; see the header comment.
VOKT_API void zvJsonSetSuccess(json_object* reply);
// Fills reply (a JSON object the caller allocated) as an error reply with code
// and message. Returns code, so callers may "return zvJsonSetError(...)".
// A null reply or one that is not an object is left alone.
VOKT_API int zvJsonSetError(int code, const char* message, json_object* reply);
// Same through a reply slot: when *reply is null a new object is made into it.
VOKT_API int zvJsonSetError(int code, const char* message, json_object** reply);

#endif  // VOKTBASIC_H
