// Packet ids of store-and-forward deliveries: ids run 1 to 65535 and around,
// an id in flight is never handed out again (also after the counter wraps),
// and when every id is in flight the generator says so instead of replacing
// a live mapping.
#include <gtest/gtest.h>

#include <memory>

#include "persist.h"

namespace {

std::shared_ptr<MQTTStoreForwardSubscriber> newSubscriber(const std::shared_ptr<MQTTMsgIdGenerator>& generator) {
  return std::make_shared<MQTTStoreForwardSubscriber>(nullptr, "client", generator, 1, 20, nullptr);
}

TEST(StoreForwardIds, WrapSkipsIdsInFlight) {
  auto generator = std::make_shared<MQTTMsgIdGenerator>();
  auto subscriber = newSubscriber(generator);
  uint16_t first = generator->Generate(subscriber);
  uint16_t second = generator->Generate(subscriber);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  generator->RemoveMsgID(second);  // 1 stays in flight
  for (int id = 3; id <= 65535; id++) {
    ASSERT_EQ(generator->Generate(subscriber), id);
    generator->RemoveMsgID(static_cast<uint16_t>(id));
  }
  // Around again: 1 is still in flight, 2 is free.
  EXPECT_EQ(generator->Generate(subscriber), 2);
  EXPECT_EQ(generator->GetSubscriber(1), subscriber);
  EXPECT_EQ(generator->InFlight(), 2u);
}

TEST(StoreForwardIds, AllInFlightPausesAndFreedIdsComeBack) {
  auto generator = std::make_shared<MQTTMsgIdGenerator>();
  auto subscriber = newSubscriber(generator);
  for (int id = 1; id <= 65535; id++) ASSERT_EQ(generator->Generate(subscriber), id);
  EXPECT_EQ(generator->Generate(subscriber), 0);  // nothing replaced
  EXPECT_EQ(generator->GetSubscriber(7), subscriber);
  generator->RemoveMsgID(40000);
  EXPECT_EQ(generator->Generate(subscriber), 40000);
}

TEST(StoreForwardIds, CandidatesFromTheSessionAndGoneSubscribers) {
  auto generator = std::make_shared<MQTTMsgIdGenerator>();
  auto kept = newSubscriber(generator);
  uint16_t next = 10;
  auto session = [&] { return next++; };
  EXPECT_EQ(generator->Generate(kept, session), 10);
  next = 10;  // the session's counter met an id still in flight
  EXPECT_EQ(generator->Generate(kept, session), 11);
  {
    auto gone = newSubscriber(generator);
    EXPECT_EQ(generator->Generate(gone, session), 12);
  }
  next = 12;  // the mapping of a subscriber that went is free again
  EXPECT_EQ(generator->Generate(kept, session), 12);
  generator->RemoveSubscriber(kept.get());
  EXPECT_EQ(generator->InFlight(), 0u);
  EXPECT_EQ(generator->GetSubscriber(10), nullptr);
}

TEST(StoreForwardIds, UnknownIdsAndAcknowledgementsOfOthers) {
  auto generator = std::make_shared<MQTTMsgIdGenerator>();
  try {
    generator->RemoveMsgID(5);
    FAIL() << "no error for an unmapped id";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), 100);
  }
  // Packet id 0 is never valid; an id no generator of the client knows is a
  // publication of the broker core and changes nothing.
  try {
    MQTTStoreForwardSubscriber::RemoveSentList(0, "nobody");
    FAIL() << "no error for packet id 0";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), 10027);
  }
  EXPECT_NO_THROW(MQTTStoreForwardSubscriber::RemoveSentList(9, "nobody"));
  auto registered = MQTTMsgIdGenerator::Get("known");
  EXPECT_EQ(MQTTMsgIdGenerator::Get("known"), registered);
  EXPECT_NO_THROW(MQTTStoreForwardSubscriber::PromoteSentList(9, "known"));
}

}  // namespace
