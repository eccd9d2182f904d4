// The JSON files of the tools under the document root: the servers list,
// the error texts, and the monitor's layouts and dashboard. Their paths are
// fixed: nothing a request sends reaches a file name.
#include <cstdio>
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

bool readable(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return false;
  fclose(f);
  return true;
}

// "read" and "write" of a file holding one member; messages name the command.
void readOrWrite(json_object* request, json_object** reply, const std::string& path, const char* command,
                 const char* missingOp, const char* requestMember, const char* fileMember, bool successBeforeRead,
                 bool markRead) {
  const char* op = nullptr;
  if (!zvJsonGetStringByName(request, "op", &op) || !op) {
    zvJsonSetError(9007, (std::string(command) + missingOp).c_str(), *reply);
    return;
  }
  if (strcmp(op, "read") == 0) {
    if (!readable(path)) {
      if (successBeforeRead) zvJsonSetSuccess(*reply);
      zvJsonSetError(-1, path.c_str(), *reply);
      return;
    }
    replyWithFile(reply, zvJsonFileLoad(path.c_str()), -1, "");
    if (markRead && json_object_is_type(*reply, json_type_object)) zvJsonSetSuccess(*reply);
    return;
  }
  if (strcmp(op, "write") == 0) {
    json_object* value = nullptr;
    if (!zvJsonGetByName(request, requestMember, &value)) {
      zvJsonSetError(9007, (std::string(command) + " - Invalid parameter - Missing data in the request").c_str(),
                     *reply);
      return;
    }
    zvJsonPtr file(zvJsonAlloc());
    zvJsonAdd(file.get(), fileMember, json_object_get(value));
    int r = zvJsonFileDumpExt(path.c_str(), file.get());
    if (r != 0) {
      zvJsonSetError(r, path.c_str(), *reply);
      return;
    }
    replyWithFile(reply, zvJsonFileLoad(path.c_str()), -1, "");
    if (markRead && json_object_is_type(*reply, json_type_object)) zvJsonSetSuccess(*reply);
  }
  // Any other op: the reply stays empty.
}

std::string underRoot(const char* folder, const char* name) {
  return module.documentRoot + (folder ? std::string("/") + folder : "") + "/" + name;
}

}  // namespace

void serversFile(json_object* request, json_object** reply, const char* command) {
  readOrWrite(request, reply, underRoot(nullptr, "zvToolsServers.json"), command,
              " - Invalid parameter - Missing op in the request", "Servers", "Servers", false, true);
}

void errorsFile(json_object** reply) {
  std::string path = underRoot(nullptr, "zvErrors.json");
  if (!readable(path)) {
    zvJsonSetError(-1, "Missing \"zvErrors.json\" file", *reply);
    return;
  }
  replyWithFile(reply, zvJsonFileLoad(path.c_str()), -1, "Invalid \"zvErrors.json\" file");
  if (json_object_is_type(*reply, json_type_object)) zvJsonSetSuccess(*reply);
}

void layoutsFile(json_object* request, json_object** reply) {
  readOrWrite(request, reply, underRoot("VixMonitor", "resources/zvMonLayouts.json"), "zvMonLayouts",
              " - Invalid parameter - Missing read/write in the request", "Types", "Types", true, false);
}

void dashboardFile(json_object* request, json_object** reply) {
  readOrWrite(request, reply, underRoot("VixMonitor", "zvMonDashboard.json"), "zvMonDashboard",
              " - Invalid parameter - Missing read/write in the request", "servers", "Servers", true, false);
}

}  // namespace finch
