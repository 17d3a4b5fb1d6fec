// Loaded with LD_PRELOAD into a peer program (owserver, digitemp) that talks to our DS2480B
// emulation through a pseudo-terminal: makes tcdrain and tcflush on a pseudo-terminal behave as
// they do on the serial line the programs were written for.
//
// On a serial line, tcdrain returns once the bytes written have left the port, and a tcflush of
// the output afterwards finds nothing left to discard. On a pseudo-terminal tcdrain returns at
// once (the pty driver keeps no count of bytes in flight: TIOCOUTQ on the slave is always 0), and
// a tcflush of the output discards the bytes the kernel has not yet handed to the master side
// (they wait for a work item in the master's flip buffer). owserver writes the reply-less
// "E3 A5" after a search pass, drains and flushes at once: on a pseudo-terminal those bytes are
// lost about every other time, and the adapter is left in the wrong mode.
//
// So for a pseudo-terminal (slave side) this library:
//  - keeps a model of the line: each write occupies it for the bytes' transmission time at the
//    terminal's output speed and character size (start bit, data bits, parity, stop bits);
//  - tcdrain (and tcsendbreak, tcsetattr with TCSADRAIN or TCSAFLUSH, which drain first) waits
//    until the line is free, as a UART would;
//  - tcflush of the output (TCOFLUSH, TCIOFLUSH) leaves the kernel's output alone when the line
//    is free, as a serial line then has nothing left to discard, so the bytes already written
//    reach the adapter; the input part of the flush is done as asked. While bytes are still on
//    the line (written, not drained), the flush is passed on unchanged.
// Waiting alone is not enough: after the transmission time has passed the bytes can still sit in
// the flip buffer when the machine is busy, and the flush would discard them.
//
// Every other descriptor, and every other call, is passed on untouched.

#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace {

constexpr int kMaxFd = 4096;

// When the modelled line is free again, per descriptor (CLOCK_MONOTONIC nanoseconds; 0: free).
std::atomic<int64_t> line_free_at[kMaxFd];

int64_t Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

template <typename F>
F Next(F, const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A Unix98 pseudo-terminal's slave side (/dev/pts/N): character device majors 136 to 143.
bool IsPtySlave(int fd) {
  if (fd < 0 || fd >= kMaxFd) return false;
  struct stat st {};
  const int saved = errno;
  const bool pty = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
                   major(st.st_rdev) <= 143;
  errno = saved;
  return pty;
}

int64_t Baud(speed_t speed) {
  static constexpr struct {
    speed_t code;
    int64_t baud;
  } kRates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& r : kRates)
    if (r.code == speed) return r.baud;
  return 9600;  // B0 or a speed not listed: the DS2480B's power-up speed
}

// Nanoseconds one character takes on the line at the terminal's current settings.
int64_t CharacterTime(int fd) {
  termios tio{};
  const int saved = errno;
  if (tcgetattr(fd, &tio) != 0) {
    errno = saved;
    return 1000000000LL * 10 / 9600;
  }
  errno = saved;
  int bits = 1;  // start bit
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      bits += 5;
      break;
    case CS6:
      bits += 6;
      break;
    case CS7:
      bits += 7;
      break;
    default:
      bits += 8;
      break;
  }
  if (tio.c_cflag & PARENB) bits += 1;
  bits += (tio.c_cflag & CSTOPB) ? 2 : 1;
  return 1000000000LL * bits / Baud(cfgetospeed(&tio));
}

// `count` bytes were handed to the terminal: they occupy the line after what is already on it.
void Sent(int fd, ssize_t count) {
  if (count <= 0) return;
  const int64_t duration = CharacterTime(fd) * count;
  const int64_t now = Now();
  int64_t free_at = line_free_at[fd].load();
  int64_t next;
  do {
    next = (free_at > now ? free_at : now) + duration;
  } while (!line_free_at[fd].compare_exchange_weak(free_at, next));
}

// Waits until the modelled line has sent everything written to it.
void WaitForLine(int fd) {
  for (;;) {
    const int64_t left = line_free_at[fd].load() - Now();
    if (left <= 0) return;
    timespec pause{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    nanosleep(&pause, nullptr);
  }
}

bool LineFree(int fd) {
  return line_free_at[fd].load() <= Now();
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t count) {
  static const auto next = Next(&write, "write");
  const ssize_t n = next(fd, data, count);
  if (n > 0 && IsPtySlave(fd)) Sent(fd, n);
  return n;
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  static const auto next = Next(&writev, "writev");
  const ssize_t n = next(fd, iov, iovcnt);
  if (n > 0 && IsPtySlave(fd)) Sent(fd, n);
  return n;
}

int close(int fd) {
  static const auto next = Next(&close, "close");
  if (fd >= 0 && fd < kMaxFd) line_free_at[fd].store(0);  // the number may name another file next
  return next(fd);
}

int tcdrain(int fd) {
  static const auto next = Next(&tcdrain, "tcdrain");
  const int result = next(fd);
  if (result == 0 && IsPtySlave(fd)) WaitForLine(fd);
  return result;
}

int tcsendbreak(int fd, int duration) {
  static const auto next = Next(&tcsendbreak, "tcsendbreak");
  if (IsPtySlave(fd)) WaitForLine(fd);  // a break follows the bytes before it
  return next(fd, duration);
}

int tcsetattr(int fd, int actions, const struct termios* tio) {
  static const auto next = Next(&tcsetattr, "tcsetattr");
  if ((actions == TCSADRAIN || actions == TCSAFLUSH) && IsPtySlave(fd)) WaitForLine(fd);
  return next(fd, actions, tio);
}

int tcflush(int fd, int queue) {
  static const auto next = Next(&tcflush, "tcflush");
  if ((queue == TCOFLUSH || queue == TCIOFLUSH) && IsPtySlave(fd) && LineFree(fd)) {
    // Everything written has left the line: nothing for the output flush to discard.
    return queue == TCIOFLUSH ? next(fd, TCIFLUSH) : 0;
  }
  return next(fd, queue);
}

}  // extern "C"
