// Store-and-forward subscribers: one client id's deliveries of a topic's
// rows, their packet ids, acknowledgements and resends.
#include <algorithm>
#include <chrono>
#include <set>

#include "persist.h"

namespace {

// The housekeeping thread's round: resends due and the confirmed position
// are looked at this often.
constexpr int kRoundMs = 100;
constexpr int kPauseStepMs = 10;

std::mutex gGeneratorsMutex;
std::map<std::string, std::weak_ptr<MQTTMsgIdGenerator>> gGenerators;
// Generators of client ids without subscribers are forgotten once the
// registry holds this many entries.
constexpr size_t kGeneratorsPruneAt = 256;

// QoS 2 deliveries the client received (PUBREC came) and whose PUBCOMP had
// not come when its subscriber went, by client id: the next subscriber of
// that client id sends their PUBREL again (MQTT 3.1.1 4.4) instead of the
// message. At most this many client ids are kept, the oldest dropped first;
// each holds no more than a subscriber's window.
constexpr size_t kReleasedClientsKept = 1024;
std::map<std::string, std::vector<uint16_t>> gReleased;
std::vector<std::string> gReleasedOrder;  // client ids, oldest first

// Rows a subscriber handed out beyond its confirmed position, when it went,
// by client id and topic: the client acknowledged those not listed as
// unconfirmed (PUBACKs out of order), and the next subscriber of that client
// id skips them instead of sending them again. Bounded as gReleased; each
// lists no more than a subscriber's window.
struct ResumePoint {
  int64_t handedOut = 0;
  std::set<int64_t> unconfirmed;
};
std::map<std::string, ResumePoint> gResume;
std::vector<std::string> gResumeOrder;  // keys, oldest first

std::string resumeKey(const std::string& clientId, const char* topic) {
  return clientId + '\n' + (topic != nullptr ? topic : "");
}

template <class Fn>
void logFailure(const char* what, const std::string& clientId, Fn fn) {
  try {
    fn();
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "starling - %s for client [%s] - %s", what, clientId.c_str(), e.GetErrorMsg());
  } catch (const ZVException& e) {
    starlingLog(e.GetErrorCode(), "starling - %s for client [%s] - %s", what, clientId.c_str(), e.GetErrorMsg());
  } catch (const std::exception& e) {
    starlingLog(10006, "starling - %s for client [%s] - %s", what, clientId.c_str(), e.what());
  } catch (...) {
    starlingLog(10006, "starling - %s for client [%s] - unknown failure", what, clientId.c_str());
  }
}

}  // namespace

// ---- packet ids ----

std::shared_ptr<MQTTMsgIdGenerator> MQTTMsgIdGenerator::Get(const std::string& clientId) {
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  std::shared_ptr<MQTTMsgIdGenerator> generator = gGenerators[clientId].lock();
  if (generator != nullptr) return generator;
  if (gGenerators.size() >= kGeneratorsPruneAt)
    for (auto it = gGenerators.begin(); it != gGenerators.end();)
      it = it->second.expired() && it->first != clientId ? gGenerators.erase(it) : std::next(it);
  generator = std::make_shared<MQTTMsgIdGenerator>();
  gGenerators[clientId] = generator;
  return generator;
}

std::shared_ptr<MQTTMsgIdGenerator> MQTTMsgIdGenerator::Find(const std::string& clientId) {
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  auto found = gGenerators.find(clientId);
  return found != gGenerators.end() ? found->second.lock() : nullptr;
}

uint16_t MQTTMsgIdGenerator::Generate(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber,
                                      const Candidates& next) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (int tries = 0; tries < 65535; tries++) {
    uint16_t id = next ? next() : 0;
    if (id == 0) id = counter_ = counter_ == 65535 ? 1 : static_cast<uint16_t>(counter_ + 1);
    auto found = ids_.find(id);
    if (found != ids_.end() && !found->second.expired()) continue;  // still in flight
    ids_[id] = subscriber;
    return id;
  }
  return 0;
}

std::shared_ptr<MQTTStoreForwardSubscriber> MQTTMsgIdGenerator::GetSubscriber(uint16_t id) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = ids_.find(id);
  return found != ids_.end() ? found->second.lock() : nullptr;
}

void MQTTMsgIdGenerator::RemoveSubscriber(const MQTTStoreForwardSubscriber* subscriber) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto it = ids_.begin(); it != ids_.end();) {
    std::shared_ptr<MQTTStoreForwardSubscriber> mapped = it->second.lock();
    it = mapped == nullptr || mapped.get() == subscriber ? ids_.erase(it) : std::next(it);
  }
}

void MQTTMsgIdGenerator::RemoveMsgID(uint16_t id) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (ids_.erase(id) == 0) starlingThrow("MQTTMsgIdGenerator::RemoveMsgID", 100, "Key not found");
}

void MQTTMsgIdGenerator::KeepReleased(const std::string& clientId, const std::vector<uint16_t>& ids) {
  if (ids.empty()) return;
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  auto [entry, added] = gReleased.try_emplace(clientId);
  if (added) gReleasedOrder.push_back(clientId);
  entry->second.insert(entry->second.end(), ids.begin(), ids.end());
  std::sort(entry->second.begin(), entry->second.end());
  entry->second.erase(std::unique(entry->second.begin(), entry->second.end()), entry->second.end());
  if (entry->second.size() > MQTTStoreForwardSubscriber::kMaxInFlight)
    entry->second.resize(MQTTStoreForwardSubscriber::kMaxInFlight);
  while (gReleased.size() > kReleasedClientsKept) {
    gReleased.erase(gReleasedOrder.front());
    gReleasedOrder.erase(gReleasedOrder.begin());
  }
}

std::vector<uint16_t> MQTTMsgIdGenerator::TakeReleased(const std::string& clientId) {
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  auto found = gReleased.find(clientId);
  if (found == gReleased.end()) return {};
  std::vector<uint16_t> ids = std::move(found->second);
  gReleased.erase(found);
  gReleasedOrder.erase(std::find(gReleasedOrder.begin(), gReleasedOrder.end(), clientId));
  return ids;
}

bool MQTTMsgIdGenerator::Reserve(uint16_t id, const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = ids_.find(id);
  if (found != ids_.end() && !found->second.expired()) return false;
  ids_[id] = subscriber;
  return true;
}

size_t MQTTMsgIdGenerator::InFlight() {
  std::lock_guard<std::mutex> hold(mutex_);
  return ids_.size();
}

// ---- subscriber ----

MQTTStoreForwardSubscriber::MQTTStoreForwardSubscriber(nev_connection* connection, const std::string& clientId,
                                                       std::shared_ptr<MQTTMsgIdGenerator> generator, char qos,
                                                       int32_t resendTimeout, MQTTStoreForwardPersist* topic)
    : connection_(connection),
      clientId_(clientId),
      generator_(std::move(generator)),
      qos_(qos),
      resendTimeout_(resendTimeout),
      topic_(topic) {}

namespace {

// One thread does the housekeeping rounds of every subscriber (resends due,
// confirmed positions written): each subscriber has its engine's reader and
// no thread of its own besides. The thread runs while any subscriber is
// listed; the last one to leave joins it.
class Housekeeper {
 public:
  static Housekeeper& instance() {
    static Housekeeper* keeper = new Housekeeper;  // outlives every subscriber
    return *keeper;
  }

  void add(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber) {
    std::lock_guard<std::mutex> hold(mutex_);
    listed_[subscriber.get()] = subscriber;
    if (thread_.joinable()) return;  // running: the last remove takes it out
    uint64_t generation = ++generation_;
    try {
      thread_ = std::thread([this, generation] { run(generation); });
    } catch (const std::system_error&) {
      listed_.erase(subscriber.get());
      starlingThrow("MQTTStoreForwardSubscriber::_startResendThread", 10006,
                    "ERROR - Not able to allocate data structure for the resend message thread.\n");
    }
  }

  void remove(const MQTTStoreForwardSubscriber* subscriber) {
    std::thread ending;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      listed_.erase(subscriber);
      if (!listed_.empty()) return;
      ++generation_;  // the running thread, if any, ends at once
      ending = std::move(thread_);
    }
    wake_.notify_all();
    if (ending.joinable()) ending.join();
  }

 private:
  void run(uint64_t generation) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      wake_.wait_for(hold, std::chrono::milliseconds(kRoundMs), [&] { return generation_ != generation; });
      if (generation_ != generation) return;
      std::vector<std::shared_ptr<MQTTStoreForwardSubscriber>> round;
      for (auto it = listed_.begin(); it != listed_.end();) {
        if (auto subscriber = it->second.lock()) {
          round.push_back(std::move(subscriber));
          ++it;
        } else {
          it = listed_.erase(it);
        }
      }
      if (listed_.empty()) {
        // Every subscriber went without leaving (none is left to join this
        // thread): it ends on its own, and the next add starts another.
        thread_.detach();
        return;
      }
      hold.unlock();
      for (const auto& subscriber : round) subscriber->HousekeepingRound();
      round.clear();
      hold.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<const MQTTStoreForwardSubscriber*, std::weak_ptr<MQTTStoreForwardSubscriber>> listed_;
  uint64_t generation_ = 0;  // a thread runs while the generation it started in lasts
  std::thread thread_;
};

}  // namespace

MQTTStoreForwardSubscriber::~MQTTStoreForwardSubscriber() { threadStop_ = true; }

// Called under the topic's subscribers' mutex: it takes no subscriber mutex.
// A delivery waiting for the window sees the stop at its next wake-up at the
// latest (a notification between its check and its wait is not lost for
// longer than the wait's bound).
void MQTTStoreForwardSubscriber::RequestStop() {
  stopping_ = true;
  windowOpened_.notify_all();
}

void MQTTStoreForwardSubscriber::KeepResumePoint(const std::string& key, int64_t handedOut,
                                                 std::set<int64_t> unconfirmed) {
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  auto [entry, added] = gResume.try_emplace(key);
  if (added) gResumeOrder.push_back(key);
  entry->second = ResumePoint{handedOut, std::move(unconfirmed)};
  while (gResume.size() > kReleasedClientsKept) {
    gResume.erase(gResumeOrder.front());
    gResumeOrder.erase(gResumeOrder.begin());
  }
}

bool MQTTStoreForwardSubscriber::TakeResumePoint(const std::string& key, int64_t* handedOut,
                                                 std::set<int64_t>* unconfirmed) {
  std::lock_guard<std::mutex> hold(gGeneratorsMutex);
  auto found = gResume.find(key);
  if (found == gResume.end()) return false;
  *handedOut = found->second.handedOut;
  *unconfirmed = std::move(found->second.unconfirmed);
  gResume.erase(found);
  gResumeOrder.erase(std::find(gResumeOrder.begin(), gResumeOrder.end(), key));
  return true;
}

void MQTTStoreForwardSubscriber::Start() {
  if (topic_ != nullptr) {
    std::lock_guard<std::mutex> hold(mutex_);
    TakeResumePoint(resumeKey(clientId_, topic_->GetTopic()), &resumeHandedOut_, &resumeUnconfirmed_);
  }
  resumeReleased();
  Housekeeper::instance().add(shared_from_this());
}

// The client has the messages of these ids already: only their PUBREL goes
// out again, and the PUBCOMP ends them as for any released delivery.
void MQTTStoreForwardSubscriber::resumeReleased() {
  std::vector<uint16_t> ids = MQTTMsgIdGenerator::TakeReleased(clientId_);
  if (ids.empty() || generator_ == nullptr) return;
  std::lock_guard<std::mutex> hold(mutex_);
  for (uint16_t id : ids) {
    if (!generator_->Reserve(id, shared_from_this())) continue;
    inFlight_[id] = MQTTPersistMsgID{id, 2, 0, starlingTickMs(), true};
    if (connection_ != nullptr) nev_mqtt_send_pubrel(connection_, id);
  }
}

void MQTTStoreForwardSubscriber::StopAndFlush() {
  threadStop_ = true;
  Housekeeper::instance().remove(this);
  // A round in progress for this subscriber ends first.
  std::lock_guard<std::mutex> round(roundMutex_);
  logFailure("Not able to record Store & Forward confirmations", clientId_, [&] { flushConfirmed(); });
}

void MQTTStoreForwardSubscriber::Detach() {
  stopping_ = true;
  threadStop_ = true;
  Housekeeper::instance().remove(this);
  std::lock_guard<std::mutex> hold(mutex_);
  detached_ = true;
  std::vector<uint16_t> released;
  std::set<int64_t> unconfirmed;
  for (const auto& [id, entry] : inFlight_)
    if (entry.released)
      released.push_back(id);
    else
      unconfirmed.insert(entry.position);
  MQTTMsgIdGenerator::KeepReleased(clientId_, released);
  // Rows acknowledged beyond the first unconfirmed one are the client's:
  // the position saved stops before that row, and the next subscriber
  // skips them.
  if (topic_ != nullptr && !unconfirmed.empty() && *unconfirmed.begin() < handedOut_)
    KeepResumePoint(resumeKey(clientId_, topic_->GetTopic()), handedOut_, std::move(unconfirmed));
  inFlight_.clear();
  windowOpened_.notify_all();
  if (generator_ != nullptr) generator_->RemoveSubscriber(this);
}

size_t MQTTStoreForwardSubscriber::InFlight() {
  std::lock_guard<std::mutex> hold(mutex_);
  return inFlight_.size();
}

int64_t MQTTStoreForwardSubscriber::ConfirmedPosition() {
  std::lock_guard<std::mutex> hold(mutex_);
  int64_t confirmed = handedOut_;
  // A released QoS 2 row is the client's already: only its PUBREL remains.
  for (const auto& [id, entry] : inFlight_)
    if (!entry.released) confirmed = std::min(confirmed, entry.position - 1);
  return confirmed;
}

bool MQTTStoreForwardSubscriber::GetEntry(uint16_t packetId, MQTTPersistMsgID* entry) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = inFlight_.find(packetId);
  if (found == inFlight_.end()) return false;
  *entry = found->second;
  return true;
}

// The session's own counter gives the candidates, so that the ids of this
// delivery and those of the publications the broker core forwards to the
// same session do not meet (the subscriber's lifetime keeps the session).
uint16_t MQTTStoreForwardSubscriber::nextPacketId() {
  nev_broker_session* session = connection_ != nullptr ? nev_broker_session_of(connection_) : nullptr;
  return session != nullptr ? nev_broker_session_next_packet_id(session) : 0;
}

int MQTTStoreForwardSubscriber::DeliverStoredRecord(ZVRecord* record, void* subscriber) {
  return static_cast<MQTTStoreForwardSubscriber*>(subscriber)->Send(record);
}

// Waits while the window is full or every packet id is in flight; records
// the entry before the send, so that a failed send (or payload) is resent.
int MQTTStoreForwardSubscriber::Send(ZVRecord* record) {
  // A row whose payload cannot be made (a schema that does not decode it)
  // never will be: it is skipped, once, and the position moves past it.
  std::string payload;
  try {
    payload = topic_->PayloadOf(record);
  } catch (const YXException& e) {
    std::lock_guard<std::mutex> hold(mutex_);
    handedOut_ = std::max(handedOut_, record->GetRowid());
    skipRow(record->GetRowid(), e.GetErrorMsg());
    return 0;
  }
  try {
    for (;;) {
      if (stopping_) return 1;
      std::unique_lock<std::mutex> hold(mutex_);
      if (detached_) return 1;
      if (skipsAcknowledged(record->GetRowid())) return 0;
      int qos = qos_;
      if (qos > 0 && !topic_->IsQoSDowngradeDisabled() && !record->IsFieldNull("qos"))
        qos = std::min(qos, static_cast<int>(record->GetFieldAsSigned("qos")));
      qos = std::max(qos, 0);
      int64_t position = record->GetRowid();
      uint16_t id = 0;
      if (qos > 0) {
        if (inFlight_.size() < kMaxInFlight)
          id = generator_->Generate(shared_from_this(), [this] { return nextPacketId(); });
        if (id == 0) {
          // An acknowledgement that frees a place wakes the wait; the bound
          // covers packet ids held by the client's other subscribers.
          windowOpened_.wait_for(hold, std::chrono::milliseconds(kPauseStepMs));
          continue;
        }
        MQTTPersistMsgID& entry = inFlight_[id];
        entry = MQTTPersistMsgID{id, static_cast<uint8_t>(qos), position, starlingTickMs(), false};
      }
      handedOut_ = std::max(handedOut_, position);
      sendPayload(payload, id, qos, false);
      return 0;
    }
  } catch (...) {
    // The row counts as handed out: with QoS 1/2 its entry is resent.
    logFailure("Not able to deliver Store & Forward message", clientId_, [] { throw; });
  }
  return 0;
}

// A row an earlier subscriber of the client id handed out and the client
// acknowledged, out of order, beyond the position saved; mutex_ held.
bool MQTTStoreForwardSubscriber::skipsAcknowledged(int64_t position) {
  if (resumeHandedOut_ == 0) return false;
  if (position > resumeHandedOut_) {
    resumeHandedOut_ = 0;
    resumeUnconfirmed_.clear();
    return false;
  }
  if (resumeUnconfirmed_.count(position) != 0) return false;
  handedOut_ = std::max(handedOut_, position);
  return true;
}

void MQTTStoreForwardSubscriber::skipRow(int64_t position, const char* why) {
  skipped_++;
  starlingLog(10027,
              "starling - Store & Forward message [%lld] of topic [%s] cannot be delivered to client [%s] - %s - it is "
              "skipped (%llu skipped for this subscriber)",
              static_cast<long long>(position), topic_->GetTopic(), clientId_.c_str(), why,
              static_cast<unsigned long long>(skipped_));
}

void MQTTStoreForwardSubscriber::sendPayload(const std::string& payload, uint16_t packetId, int qos, bool dup) {
  unsigned flags = nev_mqtt_qos_flags(qos) | (dup ? 8u : 0u);
  if (nev_mqtt_send_publish(connection_, topic_->GetTopic(), packetId, flags, payload.data(), payload.size()) == 0)
    starlingThrow("MQTTStoreForwardSubscriber::_publish", 10027, "The connection did not take the message %d",
                  packetId);
}

// ---- acknowledgements ----

void MQTTStoreForwardSubscriber::RemoveSentList(uint16_t packetId, const char* clientId) {
  acknowledge(Ack::PubAck, packetId, clientId);
}

void MQTTStoreForwardSubscriber::PromoteSentList(uint16_t packetId, const char* clientId) {
  acknowledge(Ack::PubRec, packetId, clientId);
}

void MQTTStoreForwardSubscriber::PromoteConfirmedList(uint16_t packetId, const char* clientId) {
  acknowledge(Ack::PubComp, packetId, clientId);
}

void MQTTStoreForwardSubscriber::acknowledge(Ack kind, uint16_t packetId, const char* clientId) {
  const char* fn = kind == Ack::PubAck   ? "MQTTStoreForwardSubscriber::RemoveSentList"
                   : kind == Ack::PubRec ? "MQTTStoreForwardSubscriber::PromoteSentList"
                                         : "MQTTStoreForwardSubscriber::PromoteConfirmedList";
  if (packetId == 0) starlingThrow(fn, 10027, "Invalid message ID.");
  std::shared_ptr<MQTTMsgIdGenerator> generator = MQTTMsgIdGenerator::Find(clientId != nullptr ? clientId : "");
  if (generator == nullptr) return;
  std::shared_ptr<MQTTStoreForwardSubscriber> subscriber = generator->GetSubscriber(packetId);
  if (subscriber == nullptr) return;  // not ours: a publication the core forwarded
  try {
    subscriber->applyAck(kind, packetId);
  } catch (const YXException& e) {
    starlingThrow(fn, e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

// Under the subscriber's mutex, and only while it is attached. The confirmed
// position moves with the housekeeping round (and at the subscriber's end),
// never here: acknowledgements cost no database write.
void MQTTStoreForwardSubscriber::applyAck(Ack kind, uint16_t packetId) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (detached_) return;
  auto found = inFlight_.find(packetId);
  if (found == inFlight_.end()) starlingThrow("applyAck", 10027, "Message ID not found");
  // Each acknowledgement belongs to one step of one QoS (MQTT 3.1.1 4.3):
  // PUBACK ends QoS 1, PUBREC releases QoS 2 and PUBCOMP ends it then.
  const MQTTPersistMsgID& entry = found->second;
  bool fits = kind == Ack::PubAck ? entry.qos == 1
              : kind == Ack::PubRec ? entry.qos == 2 && !entry.released
                                    : entry.qos == 2 && entry.released;
  if (!fits)
    starlingThrow("applyAck", 10027, "Message ID [%d] is a QoS %d delivery%s: this acknowledgement does not fit it",
                  packetId, entry.qos, entry.released ? " already released" : "");
  if (kind == Ack::PubRec) {
    found->second.released = true;
    found->second.lastSend = starlingTickMs();
    return;
  }
  inFlight_.erase(found);
  windowOpened_.notify_one();
  try {
    generator_->RemoveMsgID(packetId);
  } catch (const YXException&) {
  }
}

// ---- housekeeping: resends and the confirmed position ----

void MQTTStoreForwardSubscriber::HousekeepingRound() {
  std::lock_guard<std::mutex> round(roundMutex_);
  if (threadStop_) return;
  logFailure("Not able to record Store & Forward confirmations", clientId_, [&] { flushConfirmed(); });
  logFailure("Not able to resend Store & Forward messages", clientId_, [&] { resendDue(); });
}

void MQTTStoreForwardSubscriber::flushConfirmed() {
  int64_t confirmed = ConfirmedPosition();
  if (confirmed <= flushed_) return;
  topic_->UpdateSubscriberCompleted(confirmed, clientId_);
  flushed_ = confirmed;
}

// An entry is due once the whole seconds since its last sending exceed the
// time-out: a PUBLISH again with DUP, or the PUBREL of a released one
// (MQTT 3.1.1 4.3.3: a PUBLISH once PUBREC came is a protocol error).
void MQTTStoreForwardSubscriber::resendDue() {
  std::vector<MQTTPersistMsgID> due;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    uint64_t now = starlingTickMs();
    for (const auto& [id, entry] : inFlight_)
      if ((now - entry.lastSend) / 1000 > static_cast<uint64_t>(resendTimeout_)) due.push_back(entry);
  }
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.position < b.position; });
  for (const MQTTPersistMsgID& entry : due) {
    if (threadStop_) return;
    if (entry.released) {
      std::lock_guard<std::mutex> hold(mutex_);
      auto found = inFlight_.find(entry.packetId);
      if (detached_ || found == inFlight_.end() || !found->second.released) continue;
      nev_mqtt_send_pubrel(connection_, entry.packetId);
      found->second.lastSend = starlingTickMs();
      continue;
    }
    std::string why;
    bool found = topic_->WithRow(entry.position, [&](ZVRecord* record) {
      std::string payload;
      try {
        payload = topic_->PayloadOf(record);
      } catch (const YXException& e) {
        why = e.GetErrorMsg();
        return;
      }
      resendEntry(payload, entry);  // a send the connection refuses is tried again later
    });
    if (!found) why = "the row is no longer in the table [" + topic_->GetTableName() + "]";
    if (!why.empty()) dropEntry(entry, why.c_str());
  }
}

// A row that cannot be sent again (deleted, or no longer decodable) leaves
// the in-flight list, logged once: the confirmed position moves past it.
void MQTTStoreForwardSubscriber::dropEntry(const MQTTPersistMsgID& entry, const char* why) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = inFlight_.find(entry.packetId);
    if (detached_ || found == inFlight_.end() || found->second.position != entry.position) return;
    inFlight_.erase(found);
    windowOpened_.notify_one();
    skipRow(entry.position, why);
  }
  try {
    generator_->RemoveMsgID(entry.packetId);
  } catch (const YXException&) {
  }
}

void MQTTStoreForwardSubscriber::resendEntry(const std::string& payload, const MQTTPersistMsgID& entry) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = inFlight_.find(entry.packetId);
  // Acknowledged (or released) since it was found due: nothing to send.
  if (detached_ || found == inFlight_.end() || found->second.released || found->second.position != entry.position)
    return;
  found->second.lastSend = starlingTickMs();
  sendPayload(payload, entry.packetId, entry.qos, true);
}
