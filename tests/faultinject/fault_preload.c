/*
 * Test-only LD_PRELOAD library that makes open, read and lseek misbehave for
 * one file, so the Python tests can watch the readers cope with a failing
 * disk.  Build:
 *
 *   cc -shared -fPIC -O2 -o libfault.so fault_preload.c -ldl
 *
 * Only descriptors opened on the path named by FAULT_PATH are touched; every
 * other call goes straight to the C library, so the interpreter's own imports
 * are left alone.  The configuration is read from the environment each time
 * that path is opened, which lets one process try many configurations by
 * changing os.environ between constructions:
 *
 *   FAULT_PATH             the file to misbehave on (compared as a string)
 *   FAULT_OPEN_ERRNO       open fails with this errno
 *   FAULT_OPEN_EINTR       open fails with EINTR this many times first
 *   FAULT_READ_MAX         each read delivers at most this many bytes
 *   FAULT_READ_EINTR       each read that would deliver data is preceded by
 *                          this many reads failing with EINTR
 *   FAULT_READ_FAIL_AT     file offset at which reads start failing; reads
 *                          that would cross it are cut short there
 *   FAULT_READ_ERRNO       errno of those failures (default EIO)
 *   FAULT_READ_FAIL_TIMES  how many reads fail (default 1, -1 for all)
 *   FAULT_READ_ARM_SEEKS   read failures start only after this many
 *                          successful lseek calls on the descriptor
 *   FAULT_LSEEK_ERRNO      lseek fails with this errno
 *
 * Counters are exported as plain functions so a test can read them with
 * ctypes.CDLL(None).fault_counter("name").
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 4096

struct config {
  int open_errno;
  long open_eintr;
  long read_max;
  long read_eintr;
  long long read_fail_at;
  int read_errno;
  long read_fail_times;
  long read_arm_seeks;
  int lseek_errno;
};

static struct config cfg;
static unsigned char watched[MAX_FDS];
static long long offset[MAX_FDS];
static long eintr_streak[MAX_FDS];
static long seeks_done[MAX_FDS];

static struct {
  long opens, closes, open_failures, open_eintr, last_open_flags;
  long reads, read_bytes, read_eintr, read_failures, reads_cut;
  long lseeks, lseek_failures, reads_after_failure;
} counters;

static ssize_t (*real_read)(int, void *, size_t);
static off_t (*real_lseek)(int, off_t, int);
static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_close)(int);

static void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

static void resolve(void) {
  if (real_read) return;
  real_lseek = next_symbol("lseek");
  real_open = next_symbol("open");
  real_open64 = next_symbol("open64");
  real_openat = next_symbol("openat");
  real_openat64 = next_symbol("openat64");
  real_close = next_symbol("close");
  real_read = next_symbol("read");
}

static long long env_number(const char *name, long long fallback) {
  const char *text = getenv(name);
  if (text == NULL || *text == '\0') return fallback;
  return strtoll(text, NULL, 0);
}

static void load_config(void) {
  cfg.open_errno = (int)env_number("FAULT_OPEN_ERRNO", 0);
  cfg.open_eintr = (long)env_number("FAULT_OPEN_EINTR", 0);
  cfg.read_max = (long)env_number("FAULT_READ_MAX", 0);
  cfg.read_eintr = (long)env_number("FAULT_READ_EINTR", 0);
  cfg.read_fail_at = env_number("FAULT_READ_FAIL_AT", -1);
  cfg.read_errno = (int)env_number("FAULT_READ_ERRNO", EIO);
  cfg.read_fail_times = (long)env_number("FAULT_READ_FAIL_TIMES", 1);
  cfg.read_arm_seeks = (long)env_number("FAULT_READ_ARM_SEEKS", 0);
  cfg.lseek_errno = (int)env_number("FAULT_LSEEK_ERRNO", 0);
}

static int is_target(const char *path) {
  const char *target = getenv("FAULT_PATH");
  return path != NULL && target != NULL && strcmp(path, target) == 0;
}

static int is_watched(int fd) { return fd >= 0 && fd < MAX_FDS && watched[fd]; }

/* Decides the fate of an open of the target before it reaches the kernel.
 * Returns 0 to go ahead, -1 (errno set) to fail. */
static int before_open(int flags) {
  load_config();
  counters.last_open_flags = flags;
  if (cfg.open_eintr > 0) {
    cfg.open_eintr--;
    /* Keep the countdown across the retries of this one construction. */
    char left[32];
    snprintf(left, sizeof left, "%ld", cfg.open_eintr);
    setenv("FAULT_OPEN_EINTR", left, 1);
    counters.open_eintr++;
    errno = EINTR;
    return -1;
  }
  if (cfg.open_errno != 0) {
    counters.open_failures++;
    errno = cfg.open_errno;
    return -1;
  }
  return 0;
}

static int after_open(int fd) {
  if (fd >= 0 && fd < MAX_FDS) {
    watched[fd] = 1;
    offset[fd] = 0;
    eintr_streak[fd] = 0;
    seeks_done[fd] = 0;
    counters.opens++;
  }
  return fd;
}

static mode_t mode_argument(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    return (mode_t)va_arg(ap, int);
  }
  return 0;
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  resolve();
  if (!is_target(path)) return real_open(path, flags, mode);
  if (before_open(flags) != 0) return -1;
  return after_open(real_open(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  resolve();
  if (!is_target(path)) return real_open64(path, flags, mode);
  if (before_open(flags) != 0) return -1;
  return after_open(real_open64(path, flags, mode));
}

int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  resolve();
  if (!is_target(path)) return real_openat(dirfd, path, flags, mode);
  if (before_open(flags) != 0) return -1;
  return after_open(real_openat(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  resolve();
  if (!is_target(path)) return real_openat64(dirfd, path, flags, mode);
  if (before_open(flags) != 0) return -1;
  return after_open(real_openat64(dirfd, path, flags, mode));
}

int close(int fd) {
  resolve();
  if (is_watched(fd)) {
    watched[fd] = 0;
    counters.closes++;
  }
  return real_close(fd);
}

ssize_t read(int fd, void *buf, size_t count) {
  resolve();
  if (!is_watched(fd) || count == 0) return real_read(fd, buf, count);
  counters.reads++;
  if (counters.read_failures > 0) counters.reads_after_failure++;
  if (cfg.read_eintr > 0 && eintr_streak[fd] < cfg.read_eintr) {
    eintr_streak[fd]++;
    counters.read_eintr++;
    errno = EINTR;
    return -1;
  }
  eintr_streak[fd] = 0;

  size_t want = count;
  int armed = cfg.read_fail_at >= 0 && cfg.read_fail_times != 0 &&
              seeks_done[fd] >= cfg.read_arm_seeks;
  if (armed && offset[fd] >= cfg.read_fail_at) {
    if (cfg.read_fail_times > 0) cfg.read_fail_times--;
    counters.read_failures++;
    errno = cfg.read_errno;
    return -1;
  }
  if (cfg.read_max > 0 && want > (size_t)cfg.read_max) want = (size_t)cfg.read_max;
  if (armed && offset[fd] + (long long)want > cfg.read_fail_at) {
    want = (size_t)(cfg.read_fail_at - offset[fd]);
  }
  if (want < count) counters.reads_cut++;
  ssize_t got = real_read(fd, buf, want);
  if (got > 0) {
    offset[fd] += got;
    counters.read_bytes += got;
  }
  return got;
}

static off_t fault_lseek(int fd, off_t where, int whence) {
  resolve();
  if (!is_watched(fd)) return real_lseek(fd, where, whence);
  counters.lseeks++;
  if (cfg.lseek_errno != 0) {
    counters.lseek_failures++;
    errno = cfg.lseek_errno;
    return (off_t)-1;
  }
  off_t result = real_lseek(fd, where, whence);
  if (result >= 0) {
    offset[fd] = result;
    seeks_done[fd]++;
  }
  return result;
}

off_t lseek(int fd, off_t where, int whence) { return fault_lseek(fd, where, whence); }
off_t lseek64(int fd, off_t where, int whence) { return fault_lseek(fd, where, whence); }

long fault_counter(const char *name) {
  static const struct {
    const char *name;
    long *value;
  } table[] = {
      {"opens", &counters.opens},
      {"closes", &counters.closes},
      {"open_failures", &counters.open_failures},
      {"open_eintr", &counters.open_eintr},
      {"last_open_flags", &counters.last_open_flags},
      {"reads", &counters.reads},
      {"read_bytes", &counters.read_bytes},
      {"read_eintr", &counters.read_eintr},
      {"read_failures", &counters.read_failures},
      {"reads_cut", &counters.reads_cut},
      {"reads_after_failure", &counters.reads_after_failure},
      {"lseeks", &counters.lseeks},
      {"lseek_failures", &counters.lseek_failures},
  };
  for (size_t i = 0; i < sizeof table / sizeof table[0]; i++) {
    if (strcmp(table[i].name, name) == 0) return *table[i].value;
  }
  return -1;
}

/* Forgets what earlier constructions in the same process counted. */
void fault_reset_counters(void) { memset(&counters, 0, sizeof counters); }
