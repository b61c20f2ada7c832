#include "helpers/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

int open_raw_pty(int *master, int *slave)
{
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0)
    return -1;
  int s = -1;
  struct termios tio;
  if (grantpt(m) == 0 && unlockpt(m) == 0 && (s = open(ptsname(m), O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 &&
      tcgetattr(s, &tio) == 0) {
    cfmakeraw(&tio);
    if (tcsetattr(s, TCSANOW, &tio) == 0) {
      *master = m;
      *slave = s;
      return 0;
    }
  }
  int eno = errno;
  if (s >= 0)
    close(s);
  close(m);
  errno = eno;
  return -1;
}
