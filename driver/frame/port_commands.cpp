// The receiver port commands of the setup page: stop, start, scan and the
// port selection that writes ComPort back into the configuration file.
#include <exception>

#include "common/profile_file.h"
#include "frame/driver_core.h"
#include "frame/operator_texts.h"
#include "frame/password_gate.h"
#include "platform/serial_probe.h"

namespace tessar {

void DriverCore::PostPortState(const std::string& portName) {
  const Bytes payload = PortStatePayload(PortTextOf(portName), state_.ReceiverLinkState());
  link_.PostPacket(CMD_PORT_STATE, payload);
  if (options_.watchPortPosts)
    options_.watchPortPosts(CMD_PORT_STATE, payload);
}

void DriverCore::StopReceiverPort(const PortOperator& op) {
  const int result = op.runPasswordGate();
  if (result == kGateAccepted) {
    // Whatever the link state: a session left open would keep the port and
    // live on unreachable, and the next start could not open the port. The
    // closed session is never used again; the supervision cycle sees no
    // session, hence activity 0, from its next tick.
    if (session_ != nullptr)
      receiver_->CloseComm(session_);
    session_ = nullptr;
    portRunning_ = false;
  } else if (result != kGateCancelled) {
    op.showNotice(texts::kAccessDenied);
  }
  PostPortState("COM" + state_.PortText());
}

void DriverCore::StartReceiverPort(const std::string& listText, const PortOperator& op) {
  const std::string portText = PortTextOf(listText);
  const std::optional<int> port = PortNumberOf(portText);
  if (!port) {
    op.showNotice(texts::kNoPortToStart);
  } else {
    state_.SetPortText(portText);
    int error = 0;
    session_ = receiver_->InitComm(*port, &error);
    portRunning_ = true;
    if (session_ == nullptr && (library_ == nullptr || library_->Loaded()))
      window_.ReportError("The receiver port " + listText +
                          " could not be opened: " + OpenErrorText(error) + ".");
  }
  PostPortState("COM" + state_.PortText());
}

std::vector<ScannedPort> DriverCore::ScanPorts() const {
  return tessar::ScanPorts(options_.zntlogDirectory, platform::ProbeSerialPort);
}

void DriverCore::SelectPort(const std::string& listText) {
  // An empty list names no port: the configuration keeps the one it has.
  if (portRunning_ || listText.empty())
    return;
  try {
    ProfileFile profile = ProfileFile::Load(options_.configurationPath);
    profile.WriteString(kMainSection, kComPortKey, listText);
    std::string error;
    if (!profile.Save(options_.configurationPath, &error))
      return;
    // The port text goes straight to its digits: the session thread reads it
    // at any time and must never see the whole name as the port text.
    state_.SetPortText(PortTextOf(listText));
    PostPortState(listText);
  } catch (const std::exception&) {
  }
}

}  // namespace tessar
