/* A stand-in for a file on a hung network mount, for the saver's end-to-end
 * tests. Preloaded into the saver, it makes open() of any path ending in
 * "/" + $QUOL_HUNG_OPEN_NAME block for ever, as open() on a dead NFS server
 * does, once the file $QUOL_HUNG_OPEN_ARMED exists (so the saver can start
 * normally first). Before it blocks it creates $QUOL_HUNG_OPEN_ARMED.stuck,
 * so a test knows a thread of the saver is now stuck in the kernel. Every
 * other open() goes to the C library unchanged. Test builds only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*OpenFunction)(const char*, int, ...);

static int ShouldHang(const char* path) {
  const char* name = getenv("QUOL_HUNG_OPEN_NAME");
  const char* armed = getenv("QUOL_HUNG_OPEN_ARMED");
  if (path == NULL || name == NULL || armed == NULL || name[0] == '\0') return 0;
  const size_t n = strlen(path);
  const size_t m = strlen(name);
  if (n < m + 1 || path[n - m - 1] != '/' || strcmp(path + n - m, name) != 0) return 0;
  return access(armed, F_OK) == 0;
}

static void Hang(OpenFunction real_open) {
  char stuck[4096];
  snprintf(stuck, sizeof stuck, "%s.stuck", getenv("QUOL_HUNG_OPEN_ARMED"));
  int fd = real_open(stuck, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  for (;;) pause();
}

static int Forward(const char* symbol, const char* path, int flags, mode_t mode) {
  OpenFunction real_open = (OpenFunction)dlsym(RTLD_NEXT, symbol);
  if (ShouldHang(path)) Hang(real_open);
  return real_open(path, flags, mode);
}

/* open() and open64() alike: the mode argument is there only with O_CREAT
 * or O_TMPFILE. */
#define QUOL_HUNG_OPEN(name)                           \
  int name(const char* path, int flags, ...) {         \
    mode_t mode = 0;                                   \
    if (flags & (O_CREAT | O_TMPFILE)) {               \
      va_list args;                                    \
      va_start(args, flags);                           \
      mode = (mode_t)va_arg(args, int);                \
      va_end(args);                                    \
    }                                                  \
    return Forward(#name, path, flags, mode);          \
  }

QUOL_HUNG_OPEN(open)
QUOL_HUNG_OPEN(open64)
