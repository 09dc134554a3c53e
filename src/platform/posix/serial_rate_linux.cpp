// This file exists only to isolate <asm/termbits.h>, whose struct termios
// clashes with the C library's <termios.h>. It sets a bit rate that the
// termios speed constants lack (or any rate) through termios2 and BOTHER.
#include <errno.h>
#include <stdint.h>

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>
extern "C" int ioctl(int fd, unsigned long request, ...);
#endif

namespace vela::platform::posix {

int SetArbitraryRate(int fd, uint32_t rate) {
#if defined(__linux__) && defined(BOTHER)
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
#else
  (void)fd;
  (void)rate;
  return EINVAL;
#endif
}

}  // namespace vela::platform::posix
