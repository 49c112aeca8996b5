// Loads zntlog/libzntlink.so as the driver does, opens a receiver port and
// prints what the library reports: the link coming up or going down, the
// receiver's state and every message it fetches.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "arguments.h"
#include "zntlink.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void RequestStop(int) {
  stopRequested = 1;
}

struct Library {
  decltype(&ZNT_InitCommEx) InitCommEx;
  decltype(&ZNT_CloseComm) CloseComm;
  decltype(&ZNT_GetActivity) GetActivity;
  decltype(&ZNT_GetFirmware) GetFirmware;
  decltype(&ZNT_GetTime) GetTime;
  decltype(&ZNT_GetTroubles) GetTroubles;
  decltype(&ZNT_GetSlotNumActive) GetSlotNumActive;
  decltype(&ZNT_GetMsgNum) GetMsgNum;
  decltype(&ZNT_GetMsg) GetMsg;
};

template <typename F>
bool Bind(void* module, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(module, name));
  if (function == nullptr)
    std::fprintf(stderr, "missing export %s\n", name);
  return function != nullptr;
}

std::string Stamp() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
  return text;
}

void PrintMessage(const uint8_t* record) {
  const auto* m = reinterpret_cast<const ReceiverMessage*>(record);
  std::printf("%s  message: slot %u kind %u, %04u/%02u/%02u %02u:%02u:%02u, body", Stamp().c_str(),
              m->slot, m->kind, m->year, m->month, m->day, m->hour, m->minute, m->second);
  const int bodyLength = m->kind == 2 ? 3 : 13;
  for (int i = 0; i < bodyLength; ++i)
    std::printf(" %02X", record[10 + i]);
  if (m->kind == 3) {
    const unsigned device = record[12] << 4 | record[13] >> 4;
    std::printf("  (device %u, type %u)", device, record[13] & 0x07);
  } else if (m->kind == 2) {
    std::printf("  (device %u)", (record[10] & 0x0F) << 8 | record[11]);
  }
  std::printf("\n");
}

// What the open operation's error codes mean to somebody setting up a port.
const char* OpenErrorText(int error) {
  switch (error) {
    case ZNT_ERR_RESOURCE:
      return "the port could not be opened (missing, held by another program, or a stale "
             "zntlog/COM<n> link; the library's debug line names the path and the reason)";
    case ZNT_ERR_LINE_SETTINGS:
      return "the port rejected the line settings (baud rate)";
    case ZNT_ERR_LINK:
      return "the port opened but no receiver answered (check the cable, CTS and the port)";
    default:
      return "unknown error";
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 3;
  int seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--port") {
      const auto parsed = tessar::tools::ParseInt(value, 1, 255);
      if (!parsed) {
        std::fprintf(stderr, "zntlink_demo: --port needs a port number (1-255)\n");
        return 2;
      }
      port = *parsed;
      ++i;
    } else if (option == "--seconds") {
      const auto parsed = tessar::tools::ParseInt(value, 0, 86400);
      if (!parsed) {
        std::fprintf(stderr,
                     "zntlink_demo: --seconds needs a number of seconds (0 runs until stopped)\n");
        return 2;
      }
      seconds = *parsed;
      ++i;
    } else {
      std::fprintf(stderr, "usage: %s [--port N] [--seconds S]\n", argv[0]);
      return 2;
    }
  }
  void* module = dlopen("zntlog/libzntlink.so", RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load zntlog/libzntlink.so: %s\n", dlerror());
    return 1;
  }
  Library z{};
  if (!Bind(module, "ZNT_InitCommEx", z.InitCommEx) ||
      !Bind(module, "ZNT_CloseComm", z.CloseComm) ||
      !Bind(module, "ZNT_GetActivity", z.GetActivity) ||
      !Bind(module, "ZNT_GetFirmware", z.GetFirmware) || !Bind(module, "ZNT_GetTime", z.GetTime) ||
      !Bind(module, "ZNT_GetTroubles", z.GetTroubles) ||
      !Bind(module, "ZNT_GetSlotNumActive", z.GetSlotNumActive) ||
      !Bind(module, "ZNT_GetMsgNum", z.GetMsgNum) || !Bind(module, "ZNT_GetMsg", z.GetMsg)) {
    return 1;
  }
  signal(SIGINT, RequestStop);
  signal(SIGTERM, RequestStop);

  std::printf("%s  opening COM%d ...\n", Stamp().c_str(), port);
  int error = 0;
  CommSession* session = z.InitCommEx(port, 9600, &error);
  if (session == nullptr) {
    std::printf("%s  open failed, error %d: %s\n", Stamp().c_str(), error, OpenErrorText(error));
    return 1;
  }
  FirmwareInfo firmware{};
  z.GetFirmware(session, &firmware);
  SYSTEMTIME clock{};
  z.GetTime(session, &clock);
  std::printf(
      "%s  link up: firmware %u.%u, serial %08X, receiver clock %04u/%02u/%02u %02u:%02u:%02u, "
      "power 0x%02X, %d active slots\n",
      Stamp().c_str(), firmware.major, firmware.minor, firmware.serial, clock.wYear, clock.wMonth,
      clock.wDay, clock.wHour, clock.wMinute, clock.wSecond, z.GetTroubles(session) & 0xFF,
      z.GetSlotNumActive(session));

  // The driver's supervision rhythm: every 500 ms look at the link and take
  // at most one message.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int activity = 1;
  int messages = 0;
  while (!stopRequested && (seconds == 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int now = z.GetActivity(session);
    if (now != activity) {
      std::printf("%s  link %s\n", Stamp().c_str(), now ? "up again" : "down");
      activity = now;
    }
    if (now && z.GetMsgNum(session) > 0) {
      uint8_t record[101] = {};
      if (z.GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)) == 1) {
        PrintMessage(record);
        ++messages;
      }
    }
    std::fflush(stdout);
  }
  std::printf("%s  closing: %d messages fetched, close returned %d\n", Stamp().c_str(), messages,
              z.CloseComm(session));
  return 0;
}
