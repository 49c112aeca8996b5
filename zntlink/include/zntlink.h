/* Receiver communications library: the C interface of libzntlink.so and zntlink.dll.
 *
 * One session per open serial port. Every export takes the session handle
 * returned by ZNT_InitComm / ZNT_InitCommEx. All integers are 32-bit; records
 * are packed and little-endian. No exception ever crosses this boundary.
 */
#ifndef ZNTLINK_H
#define ZNTLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#include <windows.h>
#else
/* The time record at the library boundary, with the Windows field names and layout. */
#pragma pack(push, 1)
typedef struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} SYSTEMTIME;
#pragma pack(pop)
#endif

/* On Windows the exports use the calling convention of the system libraries
 * and leave the DLL undecorated, by the names of its module-definition file;
 * elsewhere they are the only names the shared library makes visible. */
#if defined(_WIN32)
#define ZNT_API
#define ZNT_CALL __stdcall
#elif defined(__GNUC__)
#define ZNT_API __attribute__((visibility("default")))
#define ZNT_CALL
#else
#define ZNT_API
#define ZNT_CALL
#endif

/* The opaque session handle. */
typedef struct CommSession CommSession;

#pragma pack(push, 1)

/* Filled by ZNT_GetFirmware. */
typedef struct FirmwareInfo {
  uint32_t major;  /* 0-255 */
  uint32_t minor;  /* 0-255 */
  uint32_t serial; /* the receiver's serial number */
} FirmwareInfo;

/* Filled by ZNT_GetSlotInfo: per slot, its module type (0 = none) and status byte. */
typedef struct SlotInfo {
  struct {
    uint8_t type;
    uint8_t status;
  } slots[8];
} SlotInfo;

/* Returned by ZNT_GetSlotMasks; points into library storage. */
typedef struct SlotMasks {
  uint8_t first;        /* first payload byte of the receiver's answer */
  uint8_t second;       /* second payload byte */
  uint8_t count;        /* always 32 */
  uint8_t reserved;     /* not set */
  const uint8_t* masks; /* the 32 mask bytes */
} SlotMasks;

/* Timing values of a session; read by the LINK thread at each use. */
typedef struct LinkTimeouts {
  uint32_t reserved0; /* 100, carried, not used */
  uint32_t reserved1; /* 4, carried, not used */
  uint32_t attempts;  /* 3: attempts per request to the receiver */
  uint32_t reserved3; /* 500, carried, not used */
  uint32_t queryWait; /* 200 ms: Query state's wait for an API request before the next poll */
  uint32_t idleWait;  /* 400 ms: Idle state's wait for the wake event */
  uint32_t reserved6; /* 400, carried, not used */
} LinkTimeouts;

/* Link counters, all 0 at open. */
typedef struct LinkStatistics {
  uint32_t TxFrm; /* request frames written completely */
  uint32_t RxFrm; /* frames received, good or bad */
  uint32_t Crc;   /* received frames rejected by the CRC or trailer check */
  uint32_t TmOut; /* reads that ended with no data or with a read error */
  uint32_t Link;  /* transitions of the link from up to down */
  uint32_t Msg;   /* messages handed to a caller by ZNT_GetMsg */
} LinkStatistics;

/* Filled by ZNT_GetMsg: a 10-byte header and the message body. ZNT_GetMsg
 * writes 10 + (L - 8) bytes for a message of L bytes, never more than this
 * record: 23 bytes for the kind-3 messages, 13 for kind 2; a longer body is cut
 * at 13 bytes. */
typedef struct ReceiverMessage {
  uint8_t firstBodyByte; /* message byte 8 */
  uint8_t kind;          /* low four bits of message byte 0 */
  uint8_t slot;          /* high four bits of message byte 0 */
  uint8_t second;
  uint8_t minute;
  uint8_t hour;
  uint8_t day;
  uint8_t month;
  uint16_t year;
  uint8_t body[13];
} ReceiverMessage;

#pragma pack(pop)

/* The most ZNT_GetMsg ever writes. */
#define ZNT_MESSAGE_RECORD_MAX 23

#ifdef __cplusplus
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
static_assert(sizeof(FirmwareInfo) == 12, "FirmwareInfo layout");
static_assert(sizeof(SlotInfo) == 16, "SlotInfo layout");
static_assert(sizeof(SlotMasks) == 4 + sizeof(void*), "SlotMasks layout");
static_assert(sizeof(LinkTimeouts) == 28, "LinkTimeouts layout");
static_assert(sizeof(LinkStatistics) == 24, "LinkStatistics layout");
static_assert(sizeof(ReceiverMessage) == 23, "ReceiverMessage layout");
#else
_Static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
_Static_assert(sizeof(FirmwareInfo) == 12, "FirmwareInfo layout");
_Static_assert(sizeof(SlotInfo) == 16, "SlotInfo layout");
_Static_assert(sizeof(SlotMasks) == 4 + sizeof(void*), "SlotMasks layout");
_Static_assert(sizeof(LinkTimeouts) == 28, "LinkTimeouts layout");
_Static_assert(sizeof(LinkStatistics) == 24, "LinkStatistics layout");
_Static_assert(sizeof(ReceiverMessage) == 23, "ReceiverMessage layout");
#endif

/* Last-error codes (ZNT_GetLastError, and the out-parameter of ZNT_InitCommEx). */
#define ZNT_OK 0
#define ZNT_ERR_TIME 1     /* ZNT_SetTime(ZNT_SetSystemTime): link not active or no time record */
#define ZNT_ERR_ARGUMENT 3 /* link not active, or an argument out of range or null */
#define ZNT_ERR_RESOURCE 7 /* open: memory, the port or an event was not obtained */
#define ZNT_ERR_LINE_SETTINGS 8 /* open: the port rejected the line settings */
#define ZNT_ERR_WRITE 9         /* a write to the port failed at once */
#define ZNT_ERR_LINK 14 /* the link fell back to Idle; open: the link could not be established */

/* Session management */
ZNT_API CommSession* ZNT_CALL ZNT_InitCommEx(int port, int baudRate, int* error);
ZNT_API CommSession* ZNT_CALL ZNT_InitComm(int port);
ZNT_API int ZNT_CALL ZNT_CloseComm(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetLastError(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetActivity(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetCommPort(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetTimeouts(CommSession* session, LinkTimeouts* out);
ZNT_API int ZNT_CALL ZNT_SetTimeouts(CommSession* session, const LinkTimeouts* in);
/* Copies the caller's counters INTO the session, replacing its statistics. */
ZNT_API int ZNT_CALL ZNT_GetStatistics(CommSession* session, const LinkStatistics* stats);

/* Getters: copies of the session's receiver state; they never talk to the receiver. */
ZNT_API int ZNT_CALL ZNT_GetFirmware(CommSession* session, FirmwareInfo* out);
ZNT_API int ZNT_CALL ZNT_GetTime(CommSession* session, SYSTEMTIME* out);
ZNT_API int ZNT_CALL ZNT_GetTroubles(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetSlotNum(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetSlotNumActive(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetSlotInfo(CommSession* session, SlotInfo* out);
ZNT_API int ZNT_CALL ZNT_GetMsgNum(CommSession* session);
ZNT_API int ZNT_CALL ZNT_GetMsg(CommSession* session, ReceiverMessage* out);

/* Requests: one request to the receiver each, answered within 500 ms or failed.
 * Status results: 1 accepted, 2 refused, 0 not sent / no answer.
 * Transaction results: 1 answered (accepted or refused), 0 otherwise.
 * Value results: the answer's first payload byte, or -1. */
ZNT_API int ZNT_CALL ZNT_SetTime(CommSession* session, const SYSTEMTIME* time);
ZNT_API int ZNT_CALL ZNT_SetSystemTime(CommSession* session);
ZNT_API int ZNT_CALL ZNT_ChangePassword(CommSession* session, const uint8_t* password,
                                        const uint8_t* newPassword);
ZNT_API const uint8_t* ZNT_CALL ZNT_GetSlotSetup(CommSession* session, unsigned slot);
ZNT_API int ZNT_CALL ZNT_SetSlotSetup(CommSession* session, unsigned slot, const uint8_t* data,
                                      unsigned length, const uint8_t* password);
ZNT_API const SlotMasks* ZNT_CALL ZNT_GetSlotMasks(CommSession* session, unsigned slot,
                                                   unsigned maskNumber);
ZNT_API int ZNT_CALL ZNT_SetSlotMasks(CommSession* session, unsigned slot, unsigned maskNumber,
                                      const uint8_t* masks, int masksLength,
                                      const uint8_t* password);
ZNT_API int ZNT_CALL ZNT_SetSlotMode(CommSession* session, unsigned slot, unsigned mode,
                                     const uint8_t* password);
ZNT_API int ZNT_CALL ZNT_GetSystemValue(CommSession* session, unsigned index);
ZNT_API int ZNT_CALL ZNT_SetSystemValue(CommSession* session, unsigned index, int value);
ZNT_API int ZNT_CALL ZNT_GetRtcOption(CommSession* session);
ZNT_API int ZNT_CALL ZNT_SetRtcOption(CommSession* session, int option);
ZNT_API int ZNT_CALL ZNT_GetRtcDayOfWeek(CommSession* session);
ZNT_API int ZNT_CALL ZNT_SetRtcDayOfWeek(CommSession* session, int day);
ZNT_API int ZNT_CALL ZNT_Shutdown(CommSession* session, unsigned mode);

#ifdef __cplusplus
}
#endif

#endif /* ZNTLINK_H */
