/* An embedding application built against the installed library. */
#include <orvelle.h>
#include <stdio.h>

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  CONNECTION_HANDLE handle = ovCreateConnection();
  check(handle >= 1000, "a new connection gets a handle from 1000 on");
  /* Port 1 on the loopback address has no server. */
  check(ovOpenConnection(handle, "127.0.0.1", 1) == OV_CONNECT_FAILED, "no server refuses the connection");
  check(ovSampleToUlaw(0) == 0xFF, "mu-law of silence");
  check(ovSampleToAlaw(0) == 0xD5, "A-law of silence");
  check(ovDestroyConnection(handle) == OV_SUCCESS, "the connection is destroyed");
  check(ovSetUserData(handle, NULL) == OV_BAD_HANDLE, "a destroyed handle is refused");
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
