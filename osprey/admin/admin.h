// The built-in administration application of the plug-in, reached by
// POST /admin/<function> (registered with the first configured application).
//
// Exports of osprey.so (C linkage):
//   init(record, error, server) -> 0, or the code of what could not be made
//       (the tables, the reaper thread) with its text in error.
//   term(error) -> 0: drops every token and ends the reaper thread.
//   router(function, token, request, reply): one call of the function table
//       under the admin mutex; the answer is always in *reply (a JSON object
//       marked by zvJsonSetError), never an HTTP status.
//   sha2Update, sha2Final, sha256Transform, sha512Transform: the digest.
//
// Functions of the table (each answers through the reply and returns its code):
//   adminLogin, adminLogout                          (app.cpp)
//   adminGetServiceList, adminGetServiceConfig, adminSaveServiceConfig,
//   adminGetServiceConfigVersionList, adminRestartService, adminStopService,
//   adminStartService, adminSetAuthentication, integration/mqtt (services.cpp)
// Every function but adminLogin first checks the "token" header: 9006 when it
// is missing, 9007 when no live token has that text.
//
// Login: the user name (at most 64 characters, compared without case) and the
// password must log on to the local database server, else 9007. A token is
// 128 upper-case hexadecimal characters, the SHA-512 of random bytes and the
// credentials; a second login with the same credentials while the token lives
// gets the same token and counts up, each logout counts down. A token unused
// for its idle time (600 s, or $OSPREY_ADMIN_TOKEN_IDLE_SECONDS) is gone.
//
// Files: configurations are written whole (temporary file, then rename) with
// mode 0600; before each save the previous contents go to
// <dir>/history/<base>_<version>.<ext>, version "default" the first time and
// the local time "%Y-%m-%d-%H-%M-%S" (with "-2", "-3"... when that second has
// a version already) afterwards. No configuration under the document root is
// read or written here.
//
// Threading: router calls come from any connection thread and are serialised
// by the admin mutex; init and term run on the server thread.
#ifndef OSPREY_ADMIN_H
#define OSPREY_ADMIN_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VOKTBasic.h"
#include "osprey_webapp.h"

extern "C" {

// The digest state. The caller fills the initial values of the variant
// (osprey::admin::sha2Start does) and digestLength: 32 selects SHA-256, any
// other value SHA-512.
typedef struct SHA2Context {
  uint64_t sha512State[8];
  uint64_t sha512Count[2];  // bits: low, high
  uint32_t sha256State[8];
  uint32_t sha256Count[2];  // bits: low, high
  uint8_t buffer[128];
  int32_t digestLength;
} SHA2Context;

// Adds length bytes to the digest.
OSPREY_EXPORT void sha2Update(SHA2Context* context, const void* data, uint32_t length);
// Writes the 32- or 64-byte digest and wipes the context.
OSPREY_EXPORT void sha2Final(uint8_t* digest, SHA2Context* context);
// One 64-byte (SHA-256) or 128-byte (SHA-512) block into the chaining state.
OSPREY_EXPORT void sha256Transform(SHA2Context* context, const uint8_t* block);
OSPREY_EXPORT void sha512Transform(SHA2Context* context, const uint8_t* block);

// The web-application entry points of the built-in application.
OSPREY_EXPORT int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData* server);
OSPREY_EXPORT int32_t term(char* error);
OSPREY_EXPORT int32_t router(const char* function, const char* token, struct json_object* request,
                             struct json_object** reply);

}  // extern "C"

namespace osprey::admin {

// Answer codes.
constexpr int kErrAlloc = 8001;
constexpr int kErrNotSupported = 8006;
constexpr int kErrFunctionNotFound = 8008;
constexpr int kErrNotActive = 8009;
constexpr int kErrNoTokenTable = 9001;
constexpr int kErrMissing = 9006;
constexpr int kErrInvalid = 9007;
constexpr int kErrMqttInactive = 9008;

constexpr size_t kPathBufferSize = 4096;  // paths hold at most 4095 characters
constexpr size_t kMessageSize = 1024;

// ---- SHA-2 (sha2.cpp) ----

// Zeroes the context and sets the initial values of SHA-256 (32) or SHA-512.
void sha2Start(SHA2Context* context, int32_t digestLength);
// The digest of data as upper-case hexadecimal text (64 or 128 characters).
std::string sha2Hex(const void* data, size_t length, int32_t digestLength);
std::string upperHex(const uint8_t* bytes, size_t length);

// ---- Files and directories (files.cpp) ----
// Failures throw YXException with errno (or 9007) and a message naming the
// path.

// Creates the directory and its missing parents: 0 when created, 183 when it
// was there already.
int32_t yxCheckDir(const char* path);
// Removes a file or a whole directory tree; a path that is not there is done.
void yxDeleteFileDir(const char* path);
// Copies source to target whole (see writeFileWhole), mode 0600.
void yxCopyFile(const char* source, const char* target);
// Replaces the path (a 4096-byte buffer) with its final, absolute form; the
// path must exist.
void yxValidatePath(char* path);
// The current directory in its final form into a 4096-byte buffer; 0 or the
// errno of the failure.
int32_t yxGetCurrentDir(char* buffer);
// base joined with relative into a 4096-byte buffer: leading "./" skipped,
// each leading "../" takes one level off base. Throws 9007 when ".." would
// climb above base's first level or appears further in, and when the result
// would not fit (nothing is cut).
void yxJoinPath(const char* base, const char* relative, char* output);
// relative joined to the current directory, as yxJoinPath.
void yxBuildFullPath(const char* relative, char* output);

// Writes contents to a temporary file next to path (hidden, with path's
// extension), flushes it and renames it over path, so readers see the old
// file or the new one, whole. The file gets mode `mode`.
void writeFileWhole(const std::string& path, const std::string& contents, mode_t mode);
// Reads a whole file of at most maxBytes; false with a message otherwise (an
// empty file is a failure too).
bool readFileWhole(const std::string& path, size_t maxBytes, std::string* contents, std::string* message);
// True when path (which may not exist yet) lies in root or below it, both
// taken in their final form.
bool pathIsUnder(const std::string& path, const std::string& root);

// ---- Configuration history (history.cpp) ----

// "current", "default", or a save time "YYYY-MM-DD-hh-mm-ss" with an
// optional "-<n>" (2 to 999) of a later save in the same second.
bool isVersionName(const std::string& version);
// The file of a saved version: <dir>/history/<base>_<version>.<ext>. Throws
// 9007 when the path has no '/' or no extension.
std::string historyPath(const std::string& configPath, const std::string& version);
// "current" when the file exists, then every saved version ("default" first,
// then by time). Throws 9007 for a path without '/' or extension.
std::vector<std::string> listConfigVersions(const std::string& configPath);
// Keeps the present file as its next saved version and writes contents in
// its place. Returns the saved version's path. Throws; nothing is changed
// then.
std::string saveConfigWithHistory(const std::string& configPath, const std::string& contents);
// Puts the saved version back as the configuration file.
void restoreConfigVersion(const std::string& configPath, const std::string& savedPath);

// ---- The application (app.cpp) ----

// The longest request body the function needs: a configuration of up to
// 4 MiB (8 MiB of JSON text) for adminSaveServiceConfig, a broker command
// for "integration/mqtt", 64 KiB for the others. Longer bodies are refused
// before they are parsed, as every application's past its requestBodyLimit
// (this is the administration application's).
int64_t adminBodyLimit(const char* function);
// The answer to a body past that bound: HTTP 200 as all of this
// application's answers, the refusal in the body.
zvJsonPtr bodyTooLongReply(int64_t limit);

// Logs on to the local database server with the credentials and off again:
// 0, or the engine's code (450 wrong password, 451 unknown user) with its
// message. Takes no lock.
int checkCredentials(const std::string& user, const std::string& password, std::string* message);

// The document root given to init (never null).
const std::string& documentRoot();
// Time a token may stay unused, in seconds.
int32_t tokenIdleSeconds();

// ---- Service management (services.cpp) ----

// The functions of the table, each (token, request, reply) -> code.
typedef int32_t (*AdminFunction)(const char* token, struct json_object* request, struct json_object* reply);
int32_t adminGetServiceList(const char* token, json_object* request, json_object* reply);
int32_t adminGetServiceConfig(const char* token, json_object* request, json_object* reply);
int32_t adminSaveServiceConfig(const char* token, json_object* request, json_object* reply);
int32_t adminGetServiceConfigVersionList(const char* token, json_object* request, json_object* reply);
int32_t adminRestartService(const char* token, json_object* request, json_object* reply);
int32_t adminStopService(const char* token, json_object* request, json_object* reply);
int32_t adminStartService(const char* token, json_object* request, json_object* reply);
int32_t adminSetAuthentication(const char* token, json_object* request, json_object* reply);
int32_t zvAdminMQTTExec(const char* token, json_object* request, json_object* reply);

}  // namespace osprey::admin

#endif  // OSPREY_ADMIN_H
