// The receiver's request kinds: their codes, the pre-checks that decide whether
// a poll sends them, and the handlers that copy an answer into the session.
#pragma once

#include <cstddef>
#include <cstdint>

struct CommSession;

namespace zntlink {

enum RequestKind : uint8_t {
  kRequestNone = 0,
  kRequestS0 = 1,  // read the clock
  kRequestS1,      // set the clock
  kRequestS2,      // power status
  kRequestS3,      // firmware and serial number
  kRequestS4,      // change the password
  kRequestH0,      // slot information
  kRequestH1,      // slot status
  kRequestH2,      // read a slot's setup
  kRequestH3,      // write a slot's setup
  kRequestH4,      // read a slot's masks
  kRequestH5,      // write a slot's masks
  kRequestH6,      // set a slot's mode
  kRequestD0,      // message count
  kRequestD1,      // fetch a message
  kRequestD2,      // acknowledge the fetched message
  kRequestS5,      // system values
  kRequestS6,      // clock day of week
  kRequestS7,      // clock option
  kRequestS9,      // shutdown
  kRequestKindCount
};

using PreCheck = bool (*)(CommSession& session);
// payload points at the answer's first payload byte (after code and status).
using AnswerHandler = void (*)(CommSession& session, const uint8_t* payload, size_t length);

struct RequestEntry {
  char code[2];
  PreCheck preCheck;      // null: always sent
  AnswerHandler handler;  // null: the answer is only passed back
};

const RequestEntry& Request(RequestKind kind);

// The request sequences, run without payload.
constexpr RequestKind kInitSequence[] = {kRequestS3, kRequestH0, kRequestH1,
                                         kRequestS2, kRequestS0, kRequestD0};
constexpr RequestKind kPollSequence[] = {kRequestS0, kRequestS2, kRequestH1,
                                         kRequestD2, kRequestD0, kRequestD1};

}  // namespace zntlink
