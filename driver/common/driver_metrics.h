// The driver's health figures for an outside monitor: counters and gauges as
// relaxed atomics. Each value is written only by the thread that owns what it
// counts (the main thread, the session thread, the local TCP service's client
// threads) and read at any time by the metrics endpoint, so recording one
// costs a single atomic operation and never waits for a reader.
#pragma once

#include <atomic>
#include <cstdint>

namespace tessar {

// Why an online server session went offline.
enum class SessionDropCause {
  kErrors,         // more missing answers than the session allows
  kServerCommand,  // CMD_DROP, CMD_SERVER_DISCONNECT or CMD_DENIED
  kWriteFailure,   // a packet could not be written to the connection
  kReadFailure,    // the connection closed or broke while an answer was read
};
inline constexpr int kSessionDropCauses = 4;

struct DriverMetrics {
  using Counter = std::atomic<uint64_t>;
  using Gauge = std::atomic<int64_t>;

  // The last tick of the supervision cycle found the receiver link up.
  std::atomic<bool> receiverLinkUp{false};
  // The session thread's online flag.
  std::atomic<bool> serverOnline{false};

  // Messages put into the incoming queue, by producer.
  Counter receiverMessages{0};
  Counter tcpMessages{0};
  // Lines of the local TCP service dropped as repeats.
  Counter tcpDuplicates{0};

  // Payloads queued in the send ring as they were made (re-sent spool files
  // count as spoolResent instead).
  Counter eventsPosted{0};
  Counter measurementsPosted{0};
  // Packets written to the server connection, keep-alive tests included.
  Counter packetsSent{0};
  // Valid packets the server answered with.
  Counter serverAnswers{0};
  Counter sessionDrops[kSessionDropCauses] = {};

  Gauge spoolFiles{0};
  Counter spoolWritten{0};
  Counter spoolResent{0};
  Counter spoolWriteFailures{0};

  Gauge sendRingPackets{0};
  Gauge incomingQueueMessages{0};
  Gauge zoneRecords{0};

  // On the clock's 64-bit monotonic milliseconds; 0 until it happens.
  Counter lastReceiverMessageMs{0};
  Counter lastServerAnswerMs{0};
  Counter startMonotonicMs{0};
  // The start as seconds since 1970-01-01 UTC.
  Gauge startUnixSeconds{0};
};

inline void Count(DriverMetrics::Counter& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

inline void CountDrop(DriverMetrics& metrics, SessionDropCause cause) {
  Count(metrics.sessionDrops[static_cast<int>(cause)]);
}

inline void SetGauge(DriverMetrics::Gauge& gauge, int64_t value) {
  gauge.store(value, std::memory_order_relaxed);
}

inline void SetFlag(std::atomic<bool>& flag, bool value) {
  flag.store(value, std::memory_order_relaxed);
}

inline void Stamp(DriverMetrics::Counter& time, uint64_t monotonicMs) {
  time.store(monotonicMs, std::memory_order_relaxed);
}

}  // namespace tessar
