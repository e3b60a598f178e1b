/* Counts the syncs of every process it is preloaded into (LD_PRELOAD), into a shared counter file
 * named by TM_SYNC_COUNTER: the mail benchmark preloads it into our server and into Postfix's
 * master (and so into every daemon the master starts), and reads the file between runs. One
 * counter file per side; the processes add to it with atomic operations on a shared mapping.
 *
 * Slots: 0 fsync, 1 fdatasync, 2 other syncs (sync_file_range, syncfs, msync with MS_SYNC),
 * 3 writes to files opened with O_DSYNC or O_SYNC (each one a sync of its own).
 *
 * Built by mail_server_bench.py with the system's C compiler: cc -shared -fPIC -O2 ... -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static volatile uint64_t* counters;
static unsigned char synced_fd[65536]; /* fds opened with O_DSYNC or O_SYNC */

__attribute__((constructor)) static void open_counters(void) {
  const char* path = getenv("TM_SYNC_COUNTER");
  if (!path) return;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* map = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map != MAP_FAILED) counters = (volatile uint64_t*)map;
}

static void count(int slot) {
  if (counters) __atomic_fetch_add(&counters[slot], 1, __ATOMIC_RELAXED);
}

#define REAL(name)                      \
  static __typeof__(name)* real_##name; \
  if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static void note_open(int fd, int flags) {
  if (fd >= 0 && fd < (int)sizeof synced_fd) synced_fd[fd] = (flags & (O_DSYNC | O_SYNC)) != 0;
}

static void note_write(int fd) {
  if (fd >= 0 && fd < (int)sizeof synced_fd && synced_fd[fd]) count(3);
}

int fsync(int fd) {
  REAL(fsync);
  count(0);
  return real_fsync(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  count(1);
  return real_fdatasync(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
  REAL(sync_file_range);
  count(2);
  return real_sync_file_range(fd, offset, nbytes, flags);
}

int syncfs(int fd) {
  REAL(syncfs);
  count(2);
  return real_syncfs(fd);
}

int msync(void* address, size_t length, int flags) {
  REAL(msync);
  if (flags & MS_SYNC) count(2);
  return real_msync(address, length, flags);
}

/* The mode argument is there only when the flags create a file. */
#define MODE_AFTER(last, flags, mode)                          \
  do {                                                         \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                     \
      va_list args;                                            \
      va_start(args, last);                                    \
      (mode) = va_arg(args, mode_t);                           \
      va_end(args);                                            \
    }                                                          \
  } while (0)

#define OPEN_LIKE(name)                                        \
  int name(const char* path, int flags, ...) {                 \
    REAL(name);                                                \
    mode_t mode = 0;                                           \
    MODE_AFTER(flags, flags, mode);                            \
    int fd = real_##name(path, flags, mode);                   \
    note_open(fd, flags);                                      \
    return fd;                                                 \
  }
OPEN_LIKE(open)
OPEN_LIKE(open64)

#define OPENAT_LIKE(name)                                      \
  int name(int dir, const char* path, int flags, ...) {        \
    REAL(name);                                                \
    mode_t mode = 0;                                           \
    MODE_AFTER(flags, flags, mode);                            \
    int fd = real_##name(dir, path, flags, mode);              \
    note_open(fd, flags);                                      \
    return fd;                                                 \
  }
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

ssize_t write(int fd, const void* buffer, size_t length) {
  REAL(write);
  note_write(fd);
  return real_write(fd, buffer, length);
}

ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset) {
  REAL(pwrite);
  note_write(fd);
  return real_pwrite(fd, buffer, length, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t length, off64_t offset) {
  REAL(pwrite64);
  note_write(fd);
  return real_pwrite64(fd, buffer, length, offset);
}

ssize_t writev(int fd, const struct iovec* vector, int count_) {
  REAL(writev);
  note_write(fd);
  return real_writev(fd, vector, count_);
}

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < (int)sizeof synced_fd) synced_fd[fd] = 0;
  return real_close(fd);
}
