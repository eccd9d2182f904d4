// The wrappers over the engine's client classes.
#include <atomic>
#include <cstdio>
#include <exception>

#include "wren.h"

namespace wren {
namespace {

// The client is started once per process, by the first session made.
std::atomic<bool> clientStarted{false};
std::mutex clientStartMutex;

// Sessions are made by log-ins running at the same time, so the flag is
// tested again under the mutex.
void startClient() {
  if (clientStarted.load()) return;
  std::lock_guard<std::mutex> lock(clientStartMutex);
  if (clientStarted.load()) return;
  if (rlStartClient() != 0) throw std::exception();
  clientStarted.store(true);
}

const char* const kWrapperSource = "easyzvpp";

// A refused index setting: the client's code with the setting's message.
void checkIndexSetting(int result, const char* message, int line) {
  if (result != 0) throw ZVException(result, message, kWrapperSource, line);
}

// One step of a catalog walk: the client's name and path as strings.
template <class Read>
bool readNameAndPath(std::string& name, std::string& path, Read read) {
  ZVString entryName, entryPath;
  bool found = read(&entryName, &entryPath);
  name = entryName.str();
  path = entryPath.str();
  return found;
}

}  // namespace

EasyString::EasyString(const std::string& text) : ZVString(text.c_str(), text.size() + 1) {}
EasyString::EasyString(const ZVString& other) : ZVString(other) {}
EasyString::~EasyString() = default;

EasySession::EasySession() : ZVSession(2) { startClient(); }
EasySession::~EasySession() = default;

void EasySession::Logon(const std::string& server, const std::string& user, const std::string& password) {
  ZVSession::Logon(server.c_str(), user.c_str(), password.c_str());
}

std::string EasySession::GetUserLogonName() const {
  const char* name = ZVSession::GetUserLogonName();
  return name != nullptr ? name : "";
}

void EasySession::CreateDatabase(const std::string& name, const std::string& path) {
  ZVSession::CreateDatabase(name.c_str(), path.c_str());
}

EasyDatabase::EasyDatabase(EasySession* session, const std::string& name, bool createIfMissing) : ZVDatabase(session) {
  if (createIfMissing) {
    bool known = false;
    try {
      ZVString path;
      known = session->FindDatabase(name.c_str(), &path);
    } catch (const ZVException&) {  // an unreadable entry counts as missing: made anew below
    }
    if (!known) session->CreateDatabase(name, "");
  }
  Connect(name.c_str());
}

EasyDatabase::EasyDatabase(const ZVDatabase& other) : ZVDatabase(other) {}
EasyDatabase::EasyDatabase(const EasyDatabase& other) : ZVDatabase(other) {}
EasyDatabase& EasyDatabase::operator=(const EasyDatabase& other) {
  ZVDatabase::operator=(other);
  return *this;
}
EasyDatabase::~EasyDatabase() = default;

bool EasyDatabase::FirstTable(std::string& name, std::string& path) {
  return readNameAndPath(name, path, [this](ZVString* n, ZVString* p) { return ZVDatabase::FirstTable(n, p); });
}

bool EasyDatabase::NextTable(std::string& name, std::string& path) {
  return readNameAndPath(name, path, [this](ZVString* n, ZVString* p) { return ZVDatabase::NextTable(n, p); });
}

void EasyDatabase::AddTable(const std::string& name, const std::string& path) {
  ZVDatabase::AddTable(name.c_str(), path.c_str());
}

std::string EasyDatabase::GetTablePath(const std::string& name) {
  std::string table, path;
  for (bool more = FirstTable(table, path); more; more = NextTable(table, path))
    if (table == name) return path;
  return "";
}

void EasyDatabase::DropTable(const std::string& name) { ZVDatabase::DropTable(name.c_str()); }

EasyTable::EasyTable(ZVDatabase* database) : ZVTable(database) {}
EasyTable::~EasyTable() = default;

void EasyTable::Create(const std::string& name, int mode) { ZVTable::Create(name.c_str(), mode); }
void EasyTable::Open(const std::string& name, int mode) { ZVTable::Open(name.c_str(), mode); }

ZVField* EasyTable::AddField(const std::string& name, int type, int length) {
  try {
    return ZVTable::AddField(name.c_str(), type, length);
  } catch (const ZVException& failure) {
    std::printf("%s t: %d l: %d", name.c_str(), type, length);
    std::printf("ZVException caught\n%s\n%s\n%d\n%d\n", failure.GetErrorMsg(), failure.GetSourceFile(),
                failure.GetSourceLine(), failure.GetErrorCode());
    std::fflush(stdout);
    throw ZVException(failure);
  }
}

ZVIndex* EasyTable::AddIndex(const std::string& name, int keyType, int duplicates, int nullKey) {
  return ZVTable::AddIndex(name.c_str(), keyType, duplicates, nullKey);
}

EasyIndex EasyTable::GetIndex(const std::string& name) { return EasyIndex(*ZVTable::GetIndex(name.c_str())); }
ZVField* EasyTable::GetField(const std::string& name) { return ZVTable::GetField(name.c_str()); }
int EasyTable::GetFieldNumber(const std::string& name) { return GetField(name)->GetNumber(); }
int EasyTable::GetPartitionIndexNbr() { return ZVTable::GetPartitionIndexNbr(); }

EasyIndex::EasyIndex(const ZVIndex& index) : ZVIndex(index) {}
EasyIndex::EasyIndex(const EasyIndex& other) : ZVIndex(other) {}
EasyIndex::~EasyIndex() = default;

void EasyIndex::SetFilename(const std::string& path, const std::string& fileName) {
  checkIndexSetting(rlSetIndexFilePath(GetHandle(), path.empty() ? nullptr : path.c_str(),
                                       fileName.empty() ? nullptr : fileName.c_str()),
                    "Can't set the index file name", 156);
}

void EasyIndex::SetName(const std::string& name) {
  checkIndexSetting(rlSetIndexFileName(GetHandle(), name.c_str()), "Can't set the index file name", 166);
}

void EasyIndex::SetDistinctKeyCount() {
  checkIndexSetting(rlSetIndexDistinctCount(GetHandle(), 0), "Can't set the index distinct key count flag", 174);
}

// The message is the one clients of this call have always been given.
void EasyIndex::SetCondition(const std::string& expression) {
  checkIndexSetting(rlSetIndexCondition(GetHandle(), expression.c_str()), "Can't set the index distinct key count flag",
                    182);
}

EasyRecord::EasyRecord(ZVTable* table) : ZVRecord(table) { Clear(); }
EasyRecord::~EasyRecord() = default;

int EasyRecord::GetFieldNumber(const std::string& name) { return GetFieldByName(name.c_str()); }
int EasyRecord::GetFieldType(const ZVString& name) { return ZVRecord::GetFieldType(name.GetString()); }
int EasyRecord::GetFieldType(const std::string& name) { return ZVRecord::GetFieldType(name.c_str()); }

void EasyRecord::SetFieldAsString(int number, const std::string& text) {
  ZVRecord::SetFieldAsString(number, text.c_str());
}

void EasyRecord::SetFieldAsString(const std::string& name, const std::string& text) {
  ZVRecord::SetFieldAsString(GetFieldNumber(name), text.c_str());
}

void EasyRecord::SetFieldAsSigned(const std::string& name, int32_t value) {
  ZVRecord::SetFieldAsSigned(GetFieldNumber(name), value);
}

void EasyRecord::SetFieldAsFloat(const std::string& name, double value) {
  ZVRecord::SetFieldAsFloat(GetFieldNumber(name), value);
}

void EasyRecord::SetFieldAsJSON(const std::string& name, const std::string& text) {
  ZVRecord::SetFieldAsJSON(GetFieldNumber(name), ZVJsonString(text));
}

void EasyRecord::SetDefaultIndex(const std::string& indexName) { ZVRecord::SetDefaultIndex(indexName.c_str()); }
void EasyRecord::SetDefaultIndex(int indexNumber) { ZVRecord::SetDefaultIndex(indexNumber); }

std::string EasyRecord::GetFieldAsString(const std::string& name) {
  return ZVRecord::GetFieldAsString(GetFieldNumber(name));
}

int EasyRecord::Step() {
  switch (step_) {
    case StepState::kNotStarted:
      step_ = StepState::kStepping;
      return First();
    case StepState::kPositioned:
      step_ = StepState::kStepping;
      return found_;
    case StepState::kStepping:
    default:
      return Next();
  }
}

void EasyRecord::SetPositioned(int found) {
  step_ = StepState::kPositioned;
  found_ = found;
}

bool DatabaseIterator::Next(std::string& name, std::string& path) {
  bool first = !started_;
  started_ = true;
  return readNameAndPath(name, path, [&](ZVString* n, ZVString* p) {
    return first ? session_.FirstDatabase(n, p) : session_.NextDatabase(n, p);
  });
}

bool TableIterator::Next(std::string& name, std::string& path) {
  bool found = started_ ? database_.NextTable(name, path) : database_.FirstTable(name, path);
  started_ = true;
  return found;
}

}  // namespace wren
