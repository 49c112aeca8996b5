// The link protocol on the LINK thread: one exchange with its attempts, the
// request sequences, the link state machine and the serving of API requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "requests.h"

struct CommSession;

namespace zntlink {

// Sends one request and waits for its answer, up to the attempts of the
// session's timeouts. 1 when a valid answer (same code, status 0x06 or 0x18)
// is in the parser; 0 when every attempt failed (the link is then marked down).
int Exchange(CommSession& session, const char code[2], const uint8_t* payload, size_t length);

// Runs the requests of a sequence in order, skipping those whose pre-check says
// no; stops at the first failed exchange. True when every request was answered.
template <size_t N>
bool RunSequence(CommSession& session, const RequestKind (&kinds)[N]);
bool RunSequence(CommSession& session, const RequestKind* kinds, size_t count);

// Marks the link up or down; a change is counted (down) and logged.
void MarkLink(CommSession& session, bool up);
// Error 14 and link state Idle.
void GoToIdle(CommSession& session);

void LinkThreadBody(CommSession& session);

template <size_t N>
bool RunSequence(CommSession& session, const RequestKind (&kinds)[N]) {
  return RunSequence(session, kinds, N);
}

}  // namespace zntlink
