/* A receiver library that exports only two of the names the driver binds. */
#include <stddef.h>

struct CommSession;

__attribute__((visibility("default"))) struct CommSession* ZNT_InitComm(int port) {
  (void)port;
  return NULL;
}

__attribute__((visibility("default"))) int ZNT_GetActivity(struct CommSession* session) {
  (void)session;
  return 0;
}
