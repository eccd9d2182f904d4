// The broker's process-wide state, logging, the metadata pool guard and the
// key helpers shared by the metadata tables.
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "starling.h"

StarlingBroker& starlingBroker() {
  static StarlingBroker broker;
  return broker;
}

void starlingLog(int code, const char* format, ...) {
  LogCallback log = starlingBroker().log;
  if (log == nullptr) return;
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log(text, code);
}

void starlingThrow(const char* function, int code, const char* format, ...) {
  char text[YXException::YX_EXCEPTION_MSG_MAX];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw YXException(function, 1, code, text, __FILE__, __LINE__);
}

uint64_t starlingTickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

StarlingDb::StarlingDb() : db_(nullptr) {
  StarlingBroker& b = starlingBroker();
  if (b.dbPool == nullptr) starlingThrow("StarlingDb", 10001, "The broker's database pool is not available");
  db_ = b.dbPool->Acquire(b.dbConfig, b.requestTimeout);
}

StarlingDb::~StarlingDb() {
  if (db_ != nullptr && starlingBroker().dbPool != nullptr) starlingBroker().dbPool->Release(db_);
}

ZVRecord* StarlingDb::Record(const char* table, const char* function) {
  ZVRecord* record = db_->GetRecord(table, true);
  if (record == nullptr) starlingThrow(function, 10003, "Not able to retrieve record for the %s table", table);
  return record;
}

uint32_t starlingWordSum(const char* text, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < length; k++)
      word |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + k])) << (8 * k);
    sum += word;
  }
  return sum;
}

std::string starlingLast100(const std::string& text) {
  if (text.size() <= 100) return text;
  // The stored key leaves out the last character; rows written so far rely on it.
  return text.substr(text.size() - 101, 100);
}

int32_t starlingMqttListeningPort() { return starlingBroker().mqttPort; }
