// The names of the driver's metrics, shared by the endpoint that serves them
// and the status command that reads them back.
#pragma once

namespace tessar::metric {

inline constexpr const char kReceiverLinkUp[] = "tessard_receiver_link_up";
inline constexpr const char kServerOnline[] = "tessard_server_online";
inline constexpr const char kMessages[] = "tessard_messages_total";
inline constexpr const char kSourceLabel[] = "source";
inline constexpr const char kSourceReceiver[] = "receiver";
inline constexpr const char kSourceTcp[] = "tcp";
inline constexpr const char kTcpDuplicates[] = "tessard_tcp_duplicates_total";
inline constexpr const char kEventsPosted[] = "tessard_events_posted_total";
inline constexpr const char kMeasurementsPosted[] = "tessard_measurements_posted_total";
inline constexpr const char kPacketsSent[] = "tessard_server_packets_sent_total";
inline constexpr const char kServerAnswers[] = "tessard_server_answers_total";
inline constexpr const char kSessionDrops[] = "tessard_server_session_drops_total";
inline constexpr const char kCauseLabel[] = "cause";
// In the order of SessionDropCause.
inline constexpr const char* kDropCauses[] = {"errors", "server_command", "write_failure",
                                              "read_failure"};
inline constexpr const char kSpoolFiles[] = "tessard_spool_files";
inline constexpr const char kSpoolWritten[] = "tessard_spool_files_written_total";
inline constexpr const char kSpoolResent[] = "tessard_spool_files_resent_total";
inline constexpr const char kSpoolWriteFailures[] = "tessard_spool_write_failures_total";
inline constexpr const char kSendRingPackets[] = "tessard_send_ring_packets";
inline constexpr const char kIncomingQueueMessages[] = "tessard_incoming_queue_messages";
inline constexpr const char kZoneRecords[] = "tessard_zone_records";
inline constexpr const char kSinceReceiverMessage[] = "tessard_seconds_since_receiver_message";
inline constexpr const char kSinceServerAnswer[] = "tessard_seconds_since_server_answer";
inline constexpr const char kStartTime[] = "tessard_start_time_seconds";

}  // namespace tessar::metric
