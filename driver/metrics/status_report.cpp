#include "metrics/status_report.h"

#include <chrono>
#include <cstdio>

#include "common/profile_file.h"
#include "metrics/metrics_names.h"
#include "metrics/metrics_settings.h"

namespace tessar {
namespace {

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

std::string Duration(double seconds) {
  const auto whole = static_cast<int64_t>(seconds > 0 ? seconds : 0);
  char text[48];
  if (whole >= 86400)
    std::snprintf(text, sizeof text, "%lld d %lld:%02lld:%02lld",
                  static_cast<long long>(whole / 86400), static_cast<long long>(whole / 3600 % 24),
                  static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(whole / 3600),
                  static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
  return text;
}

std::string Plural(double count, const std::string& one, const std::string& many) {
  return Number(count) + " " + (count == 1 ? one : many);
}

}  // namespace

StatusReport ReportStatus(const MetricsPage& page, const std::string& where,
                          int64_t nowUnixSeconds) {
  StatusReport report;
  const auto link = page.Value(metric::kReceiverLinkUp);
  const auto online = page.Value(metric::kServerOnline);
  if (!link || !online) {
    report.text = "the answer at " + where + " is no tessard metrics page\n";
    return report;
  }
  const auto value = [&page](const char* name) { return page.Value(name).value_or(0); };
  const auto labelled = [&page](const char* name, const char* label, const char* of) {
    return page.Value(name, {{label, of}}).value_or(0);
  };
  const bool linkUp = *link == 1;
  const bool serverOnline = *online == 1;

  std::string& t = report.text;
  t += "tessard at " + where + ": running for " +
       Duration(static_cast<double>(nowUnixSeconds) - value(metric::kStartTime)) + "\n";
  t += "  receiver link   " + std::string(linkUp ? "up" : "DOWN") + ", last message " +
       Duration(value(metric::kSinceReceiverMessage)) + " ago\n";
  t += "  server session  " + std::string(serverOnline ? "online" : "OFFLINE") + ", last answer " +
       Duration(value(metric::kSinceServerAnswer)) + " ago\n";
  t += "  messages        " +
       Number(labelled(metric::kMessages, metric::kSourceLabel, metric::kSourceReceiver)) +
       " from the receiver, " +
       Number(labelled(metric::kMessages, metric::kSourceLabel, metric::kSourceTcp)) +
       " from the local TCP service, " +
       Plural(value(metric::kTcpDuplicates), "repeat", "repeats") + " dropped\n";
  t += "  posted          " + Plural(value(metric::kEventsPosted), "event", "events") + ", " +
       Plural(value(metric::kMeasurementsPosted), "measurement", "measurements") + "; " +
       Plural(value(metric::kPacketsSent), "packet", "packets") + " sent, " +
       Plural(value(metric::kServerAnswers), "answer", "answers") + "\n";
  double drops = 0;
  std::string causes;
  for (const char* cause : metric::kDropCauses) {
    const double n = labelled(metric::kSessionDrops, metric::kCauseLabel, cause);
    drops += n;
    causes += std::string(causes.empty() ? "" : ", ") + cause + " " + Number(n);
  }
  t += "  session drops   " + Number(drops) + " (" + causes + ")\n";
  t += "  spool           " + Plural(value(metric::kSpoolFiles), "file", "files") + " waiting, " +
       Number(value(metric::kSpoolWritten)) + " written, " + Number(value(metric::kSpoolResent)) +
       " re-sent, " +
       Plural(value(metric::kSpoolWriteFailures), "write failure", "write failures") + "\n";
  t += "  waiting         " + Plural(value(metric::kSendRingPackets), "packet", "packets") +
       " in the send ring, " +
       Plural(value(metric::kIncomingQueueMessages), "message", "messages") +
       " in the incoming queue; " + Number(value(metric::kZoneRecords)) + " records in sost.mem\n";
  if (linkUp && serverOnline) {
    report.exitStatus = kStatusUp;
    t += "status: up\n";
  } else {
    report.exitStatus = kStatusDown;
    std::string down = linkUp ? "" : "receiver link down";
    if (!serverOnline)
      down += std::string(down.empty() ? "" : ", ") + "server session offline";
    t += "status: down (" + down + ")\n";
  }
  return report;
}

StatusReport CheckStatus(const std::string& iniPath, uint32_t timeoutMs) {
  StatusReport report;
  const MetricsSettings settings = ReadMetricsSettings(ProfileFile::Load(iniPath));
  if (!settings.problem.empty()) {
    report.text = settings.problem + ": no metrics endpoint to ask\n";
    return report;
  }
  if (!settings.enabled) {
    report.text = "metrics are off: [main] " + std::string(kMetricsPortKey) + " is not set in " +
                  iniPath + ", so a running driver cannot be asked\n";
    return report;
  }
  const std::string address = LocalAddressOf(settings);
  const std::string where = address + ":" + std::to_string(settings.port);
  const FetchResult fetched = FetchMetrics(address, settings.port, timeoutMs);
  if (!fetched.ok) {
    report.text = fetched.noAnswer
                      ? "no driver answers at " + where + " (" + fetched.error +
                            "): none is running in this directory\n"
                      : "no driver answers properly at " + where + ": " + fetched.error + "\n";
    return report;
  }
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return ReportStatus(MetricsPage::Parse(fetched.body), where, now);
}

}  // namespace tessar
