// web/starlingjson.so: the broker's extractor library for JSON payloads. The
// topic persistence engine loads it with dlopen and binds the five entry points
// below by name; nothing else is exported.
//
// Use: mqttPrepare parses one payload and answers a message handle; every
// mqttExtract and mqttExtractList of that message takes the handle (or an
// element handle, below) as its context; mqttRelease frees the message.
// mqttValidate checks a property path once, when a field is configured.
//
// Property paths. A path names one member of the context, step by step:
//   a member name:   "temperature", then ".unit" for a member of that member
//   an array index:  "[2]" (decimal, 0 to 2147483647), directly after a name,
//                    another index, or at the start (a context that is an array)
//   so "readings[0].value", "matrix[1][2]", "[0].id".
// In a name, '.', '[', ']' and '\' are written "\.", "\[", "\]" and "\\"; no
// other escape exists; any other byte (UTF-8 included) stands for itself.
// Names are compared byte for byte with the member names as they read after
// JSON unescaping; when an object repeats a name, its last member counts.
// A path is 1 to 1024 bytes; empty names, empty or unterminated indexes,
// signs, spaces in indexes and a trailing lone '\' are refused. A NULL path
// (the built-in "source_payload" field) names the context itself.
//
// Values: an absent member, an index past the end and a JSON null answer 0
// with length 0 (no value: the column stays NULL). Stepping into a member that
// is not an object (by name) or an array (by index) is an error (10104).
//
// Binary forms written by mqttExtract, chosen by the field type code, the
// binary flag and the format, in this order:
//   8 (BIT)                      int32: 1 or 0; from true/false, the numbers
//                                0 and 1, or the strings "true", "false",
//                                "1", "0"
//   16, 24, 33, 41, 51, 59       int32; from an integer number or a string
//                                holding only a decimal integer; outside the
//                                int32 range is 10105 (narrower columns are
//                                range-checked by the database client)
//   67, 91, 103, 143             64-bit float; from any number or a string
//                                holding a number (see TRUNCATE)
//   231, 239 (BIGINT)            int64; as the int32 types, int64 range
//   binary flag true             raw bytes, by the format: BYTE_ARRAY (0, or
//                                none) a string's bytes, any other value its
//                                JSON text; HEX (1) a string of hex digit
//                                pairs; BASE64 (2) a base64 string (padding
//                                optional); an empty result is no value
//   75 or 124 with ISO8601 (206) int64 seconds since 1970-01-01 00:00 UTC
//   257 with ISO8601 (206)       int64 milliseconds since then
//   105 (NUMBER, MONEY)          text: the number as written in the payload
//   259 (JSON)                   text: the member's compact JSON text (a
//                                string keeps its quotes)
//   any other code               text
// ISO8601 values are strings "YYYY-MM-DD", optionally followed by 'T' or ' ',
// "hh:mm", optional ":ss", optional fraction (milliseconds kept, further
// digits dropped) and an optional zone "Z", "+hh:mm", "-hh:mm", "+hhmm";
// without a zone the time is UTC.
// A text is the string's content, a number as written, true/false, or an
// object's or array's compact JSON text, followed by a zero byte that the
// length counts (so "" has length 1 and differs from no value); a string
// holding a zero byte is refused (10104), as it would cut the text.
// TRUNCATE (100), for the number types 67, 91, 103, 105 and 143: a string
// that begins with a number and goes on ("21.5 C") gives that number; without
// it such a string is refused (10104).
// A NULL path delivers the context's compact JSON text (raw bytes when
// binary, else a text).
//
// mqttExtractList: the path names an array; each element gives one entry, a
// signed 32-bit length followed by that many bytes. Entry forms by type code:
//   -1                           int64 element handle (every element, null
//                                included), for nested child tables
//   8; 16, 24, 33, 41, 51, 59    int32, as above
//   67, 91, 103, 143             64-bit float
//   231, 239                     int64
//   128, 160, 162, 170           raw bytes: decoded by the binary format when
//                                binary is true, else the text without its
//                                zero byte
//   any other code               text with its zero byte, as above (105 and
//                                259 too; dates are never converted)
// A null element gives an entry of length 0 (no value). An absent member or a
// JSON null gives count 0; a member that is not an array is 10104.
//
// Element handles: a signed 64-bit value that names one element of one
// prepared message. It is accepted as a context until that message is
// released; a handle never made, altered or stale is refused with 10102 and
// never read as an address. The message handle is the element handle of the
// payload's top value.
//
// Payloads that are not JSON (not UTF-8, a syntax error, a zero byte, empty,
// more than 1048576 values, deeper than 512 levels, a number beyond the
// double range, longer than 4 GiB) still get a message handle; every extraction from it fails
// with 10103 and the reason, so each mapped field takes its error path while
// the payload itself can be kept whole.
//
// Results (int32): 0 done; 10020 the buffer is too small, with the exact
// needed size in the out length (mqttExtract) or needed size (list; the count
// is then set too); and errors, whose message goes into the error text (1024
// bytes with its zero byte, cut on a character boundary):
//   10101 the property path is invalid
//   10102 the context is not a live message or element handle
//   10103 the payload is not JSON
//   10104 the member's JSON type does not fit the field type or format
//   10105 the value is out of range for the form delivered
//   10106 a bad argument (NULL out pointer, negative buffer size, NULL buffer
//         with a positive size, a type or format the form cannot use)
//   10107 the value or list does not fit a signed 32-bit length
// Nothing is written into the buffer unless the result is 0, and nothing into
// the error text unless there is an error; the out values are written on 0 and
// 10020 (length/needed 0 and count 0 on errors).
//
// Limits: at most 65536 messages are prepared at once (mqttPrepare answers 0
// beyond that, when memory runs out, and for a NULL payload with a positive
// length). One message's table takes about 40 bytes per JSON value plus its
// texts; the value limit keeps it near 40 MiB.
//
// Threads: every entry point may be called from any thread at any time;
// prepared messages are read-only and may be extracted from concurrently.
// The engine releases a message once, after its last extraction.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define STARLINGJSON_BUFFER_TOO_SMALL 10020
#define STARLINGJSON_BAD_PATH 10101
#define STARLINGJSON_BAD_CONTEXT 10102
#define STARLINGJSON_NOT_JSON 10103
#define STARLINGJSON_WRONG_TYPE 10104
#define STARLINGJSON_OUT_OF_RANGE 10105
#define STARLINGJSON_BAD_ARGUMENT 10106
#define STARLINGJSON_TOO_LARGE 10107

// The size of every error text buffer the entry points write.
#define STARLINGJSON_ERROR_TEXT_SIZE 1024

// Parses the payload's bytes (no terminating zero needed); the message handle,
// or 0 when the payload cannot be used at all.
int64_t mqttPrepare(const char* payload, uint64_t payloadLength);

// Frees a message handle of mqttPrepare; 0, element and stale handles are
// ignored.
void mqttRelease(int64_t message);

// 0 when the path is valid; else 10101 with the reason in errorText.
int32_t mqttValidate(const char* propertyPath, char* errorText);

// One value of the context's member named by the path, in the form of the
// field type (above), into buffer[0 .. bufferSize).
int32_t mqttExtract(const char* propertyPath, int32_t fieldType, bool binary, int32_t format, int64_t context,
                    void* buffer, int32_t bufferSize, int32_t* length, char* errorText);

// Every element of the array named by the path, as consecutive entries.
int32_t mqttExtractList(const char* propertyPath, int32_t fieldType, bool binary, int32_t format, int64_t context,
                        void* buffer, int32_t bufferSize, int32_t* neededSize, int32_t* count, char* errorText);

#ifdef __cplusplus
}
#endif

// The signatures as function pointer types, for binding with dlsym.
typedef int64_t (*starlingjson_prepare_fn)(const char*, uint64_t);
typedef void (*starlingjson_release_fn)(int64_t);
typedef int32_t (*starlingjson_validate_fn)(const char*, char*);
typedef int32_t (*starlingjson_extract_fn)(const char*, int32_t, bool, int32_t, int64_t, void*, int32_t, int32_t*,
                                           char*);
typedef int32_t (*starlingjson_extract_list_fn)(const char*, int32_t, bool, int32_t, int64_t, void*, int32_t, int32_t*,
                                                int32_t*, char*);
