// The JSON files of the tools under the document root: the servers list,
// the error texts, and the monitor's layouts and dashboard. Their paths are
// fixed: nothing a request sends reaches a file name.
//
// The files are written by public commands and served back from the
// document root as they are, so a write keeps only what the file's shape
// allows: its one member, the member names its entries have, texts as
// bounded plain text (no markup, no control characters), a bounded nesting
// and count of values, and a bounded size.
// A write past any of these is refused and leaves the file as it was.
#include <cstdio>
#include <cstring>
#include <string>

#include "VOKTBasic.h"
#include "appkit.h"

namespace appkit {

namespace {

// What one file keeps.
struct FileShape {
  const char* fileMember;  // the file's one member
  bool topIsArray;         // the server lists are arrays of entries; layouts may be any value
  size_t maxEntries;       // elements of the member's value when it is an array
  int maxNesting;          // containers within containers, the member's value being the first
  size_t maxValues;        // values of the whole document
  size_t maxText;          // bytes of one text
  size_t maxBytes;         // bytes of the written file
  // The member names objects within the value may use (null-terminated), or
  // null for any plain-text name. A file with its own members also refuses
  // quotes in texts, which pages put into attributes.
  const char* const* members = nullptr;
};

constexpr size_t kMaxMemberName = 64;

// The servers list: entries of names, hosts and their settings.
constexpr const char* kServersMembers[] = {"name", "host", "port", "default", nullptr};
constexpr FileShape kServersShape{"Servers", true, 256, 2, 256 * 32, 255, 64 * 1024, kServersMembers};
// The dashboard: at most the ten servers a dashboard shows, each with its
// counter classes. No password: the file is served to anyone who asks.
constexpr const char* kDashboardMembers[] = {"hostName", "friendlyName", "userName", "counters", "Class", nullptr};
constexpr FileShape kDashboardShape{"Servers", true, 10, 4, 10 * 64, 255, 64 * 1024, kDashboardMembers};
// The layouts: the page's own document.
constexpr FileShape kLayoutsShape{"Types", false, 1024, 8, 4096, 1024, 256 * 1024};

// Text without control characters or the brackets of markup. Bytes from 0x80
// up are kept as the page sent them (UTF-8, or Latin-1 once the plug-in has
// folded its escapes).
bool isPlainText(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || c == '<' || c == '>') return false;
  }
  return true;
}

bool isOneOf(const char* name, const char* const* names) {
  for (; *names; ++names)
    if (strcmp(name, *names) == 0) return true;
  return false;
}

// Checks value against the shape; the reason it does not fit, or "" when it does.
class ShapeCheck {
 public:
  explicit ShapeCheck(const FileShape& shape) : shape_(shape) {}

  std::string check(json_object* value) {
    if (shape_.topIsArray && !json_object_is_type(value, json_type_array))
      return std::string(shape_.fileMember) + " must be an array";
    if (json_object_is_type(value, json_type_array) && size_t(zvJsonArrayLength(value)) > shape_.maxEntries)
      return std::string(shape_.fileMember) + " holds more than " + std::to_string(shape_.maxEntries) + " entries";
    return walk(value, 0);
  }

 private:
  std::string walk(json_object* value, int nesting) {
    if (++values_ > shape_.maxValues) return "more than " + std::to_string(shape_.maxValues) + " values";
    switch (json_object_get_type(value)) {
      case json_type_string: {
        size_t length = size_t(json_object_get_string_len(value));
        if (length > shape_.maxText) return "a text longer than " + std::to_string(shape_.maxText) + " bytes";
        const char* text = json_object_get_string(value);
        if (!isPlainText(text, length) || (shape_.members && memchr(text, '"', length)))
          return "a text that is not plain text (quotes, markup brackets or control characters)";
        return "";
      }
      case json_type_array: {
        if (nesting >= shape_.maxNesting) return "values nested deeper than the file allows";
        for (size_t i = 0, n = json_object_array_length(value); i < n; ++i) {
          std::string reason = walk(json_object_array_get_idx(value, i), nesting + 1);
          if (!reason.empty()) return reason;
        }
        return "";
      }
      case json_type_object: {
        if (nesting >= shape_.maxNesting) return "values nested deeper than the file allows";
        json_object_object_foreach(value, key, member) {
          size_t length = strlen(key);
          if (length == 0 || length > kMaxMemberName || !isPlainText(key, length))
            return "a member name that is empty, longer than " + std::to_string(kMaxMemberName) +
                   " bytes or not plain text";
          if (shape_.members && !isOneOf(key, shape_.members))
            return "a member [" + std::string(key) + "] the file does not hold";
          std::string reason = walk(member, nesting + 1);
          if (!reason.empty()) return reason;
        }
        return "";
      }
      default:  // numbers, booleans and null
        return "";
    }
  }

  const FileShape& shape_;
  size_t values_ = 0;
};

// The file's document when it is a JSON object, as every one of these
// files is; null for anything else (a bare number would be the reply).
json_object* loadObjectFile(const std::string& path) {
  json_object* file = zvJsonFileLoad(path.c_str());
  if (file && !json_object_is_type(file, json_type_object)) {
    zvJsonRelease(file);
    return nullptr;
  }
  return file;
}

// The file as the reply, marked as a success when asked; a file that is not
// a JSON object answers -1 with an empty message, never a success.
void replyWithFileMarked(json_object** reply, const std::string& path, bool markRead) {
  json_object* file = loadObjectFile(path);
  replyWithFile(reply, file, -1, "");
  if (file && markRead && json_object_is_type(*reply, json_type_object)) zvJsonSetSuccess(*reply);
}

bool readable(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return false;
  fclose(f);
  return true;
}

// The messages of one file command.
struct FileCommand {
  const char* name;
  const char* missingOp;
  const char* requestMember;
  bool successBeforeRead;
  bool markRead;
};

void writeFile(json_object* request, json_object** reply, const std::string& path, const FileCommand& command,
               const FileShape& shape) {
  json_object* value = nullptr;
  if (!zvJsonGetByName(request, command.requestMember, &value)) {
    zvJsonSetError(9007, (std::string(command.name) + " - Invalid parameter - Missing data in the request").c_str(),
                   *reply);
    return;
  }
  std::string reason = ShapeCheck(shape).check(value);
  zvJsonPtr file(zvJsonAlloc());
  zvJsonAdd(file.get(), shape.fileMember, json_object_get(value));
  if (reason.empty()) {
    const char* text = zvJsonToString(file.get());
    if (!text || strlen(text) > shape.maxBytes)
      reason = "the file would be larger than " + std::to_string(shape.maxBytes) + " bytes";
  }
  if (!reason.empty()) {
    zvJsonSetError(9007, (std::string(command.name) + " - Invalid parameter - " + reason).c_str(), *reply);
    return;
  }
  int r = zvJsonFileDumpExt(path.c_str(), file.get());
  if (r != 0) {
    zvJsonSetError(r, path.c_str(), *reply);
    return;
  }
  replyWithFileMarked(reply, path, command.markRead);
}

// "read" and "write" of a file holding one member; messages name the command.
void readOrWrite(json_object* request, json_object** reply, const std::string& path, const FileCommand& command,
                 const FileShape& shape) {
  const char* op = nullptr;
  if (!zvJsonGetStringByName(request, "op", &op) || !op) {
    zvJsonSetError(9007, (std::string(command.name) + command.missingOp).c_str(), *reply);
    return;
  }
  if (strcmp(op, "read") == 0) {
    if (!readable(path)) {
      if (command.successBeforeRead) zvJsonSetSuccess(*reply);
      zvJsonSetError(-1, path.c_str(), *reply);
      return;
    }
    replyWithFileMarked(reply, path, command.markRead);
    return;
  }
  if (strcmp(op, "write") == 0) writeFile(request, reply, path, command, shape);
  // Any other op: the reply stays empty.
}

std::string underRoot(const char* folder, const char* name) {
  return toolSettings().documentRoot + (folder ? std::string("/") + folder : "") + "/" + name;
}

}  // namespace

void serversFile(json_object* request, json_object** reply, const char* command) {
  readOrWrite(request, reply, underRoot(nullptr, "zvToolsServers.json"),
              FileCommand{command, " - Invalid parameter - Missing op in the request", "Servers", false, true},
              kServersShape);
}

void errorsFile(json_object** reply) {
  std::string path = underRoot(nullptr, "zvErrors.json");
  if (!readable(path)) {
    zvJsonSetError(-1, "Missing \"zvErrors.json\" file", *reply);
    return;
  }
  json_object* file = loadObjectFile(path);
  replyWithFile(reply, file, -1, "Invalid \"zvErrors.json\" file");
  // Only a file that was read is a success: a file that is not JSON keeps its -1.
  if (file && json_object_is_type(*reply, json_type_object)) zvJsonSetSuccess(*reply);
}

void layoutsFile(json_object* request, json_object** reply) {
  readOrWrite(
      request, reply, underRoot("VixMonitor", "resources/zvMonLayouts.json"),
      FileCommand{"zvMonLayouts", " - Invalid parameter - Missing read/write in the request", "Types", true, false},
      kLayoutsShape);
}

void dashboardFile(json_object* request, json_object** reply) {
  readOrWrite(
      request, reply, underRoot("VixMonitor", "zvMonDashboard.json"),
      FileCommand{"zvMonDashboard", " - Invalid parameter - Missing read/write in the request", "servers", true, false},
      kDashboardShape);
}

}  // namespace appkit
