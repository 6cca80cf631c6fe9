/* Fails one chosen system call of the process it is preloaded into.
 *
 * Environment (read at load time and again by faultshim_arm()):
 *   FAULT_OP           comma-separated calls to watch: write (write, pwrite),
 *                      fsync (fsync, fdatasync of a file), fsyncdir (fsync of a
 *                      directory), rename, link; "any" for all of them;
 *                      pthread_create (only when named: see below)
 *   FAULT_PATH_PREFIX  only calls on paths starting with this (optional)
 *   FAULT_PATH_SUFFIX  only calls on paths ending with this (optional)
 *   FAULT_NTH          fail the n-th watched call (1-based); 0 fails none
 *   FAULT_ERRNO        the errno it fails with (default EIO)
 *   FAULT_SHORT        1: that write writes half its bytes and returns the
 *                      count instead of failing, as on a full device
 *   FAULT_TRACE        append "<n> <op> <path>" for every watched call here
 *   FAULT_ARMED        0: watch nothing until faultshim_arm() is called
 * An fd's path is its target in /proc/self/fd; rename's and link's, the
 * destination. pthread_create has no path, and a thread that could not be
 * started once will not be the next time either: every pthread_create from
 * the FAULT_NTH-th on fails, with FAULT_ERRNO or else EAGAIN (what the
 * system answers when it is out of threads). faultshim_disarm() stops
 * watching; faultshim_fired() tells how many calls were failed since the
 * last arming. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int armed, nth, err_no, fired, short_write;
static long seen;
static char ops[128], prefix[4096], suffix[4096], trace[4096];

static const char *env(const char *name) { const char *v = getenv(name); return v ? v : ""; }

void faultshim_arm(void) {
  snprintf(ops, sizeof ops, "%s", env("FAULT_OP"));
  snprintf(prefix, sizeof prefix, "%s", env("FAULT_PATH_PREFIX"));
  snprintf(suffix, sizeof suffix, "%s", env("FAULT_PATH_SUFFIX"));
  snprintf(trace, sizeof trace, "%s", env("FAULT_TRACE"));
  nth = atoi(env("FAULT_NTH"));
  err_no = atoi(env("FAULT_ERRNO")) > 0 ? atoi(env("FAULT_ERRNO")) : EIO;
  short_write = strcmp(env("FAULT_SHORT"), "1") == 0;
  __atomic_store_n(&seen, 0, __ATOMIC_SEQ_CST);
  fired = 0;
  armed = 1;
}
void faultshim_disarm(void) { armed = 0; }
int faultshim_fired(void) { return fired; }

__attribute__((constructor)) static void init(void) {
  if (strcmp(env("FAULT_ARMED"), "0") != 0) faultshim_arm();
}

static int watched(const char *op) {
  size_t len = strlen(op);
  if (strcmp(ops, "any") == 0) return strcmp(op, "pthread_create") != 0;
  for (const char *p = ops; (p = strstr(p, op)) != NULL; p += len)
    if ((p == ops || p[-1] == ',') && (p[len] == ',' || p[len] == '\0')) return 1;
  return 0;
}

/* 0 lets the call through; else the errno it fails with. */
static int should_fail(const char *op, const char *path) {
  size_t len = strlen(path), sl = strlen(suffix);
  if (!armed || !watched(op) || strncmp(path, prefix, strlen(prefix)) != 0) return 0;
  if (sl > len || strcmp(path + len - sl, suffix) != 0) return 0;
  long n = __atomic_add_fetch(&seen, 1, __ATOMIC_SEQ_CST);
  if (trace[0]) {
    char line[4300];
    int k = snprintf(line, sizeof line, "%ld %s %s\n", n, op, path);
    int fd = open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && k > 0 && (size_t)k < sizeof line) REAL(write)(fd, line, (size_t)k);
    if (fd >= 0) close(fd);
  }
  if (n != nth) return 0;
  __atomic_add_fetch(&fired, 1, __ATOMIC_SEQ_CST);
  return err_no;
}

static int fd_fails(const char *op, int fd) {
  char link[64], path[4096];
  struct stat st;
  if (!armed) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, path, sizeof path - 1);
  if (len < 0) return 0;
  path[len] = '\0';
  if (strcmp(op, "fsync") == 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) op = "fsyncdir";
  return should_fail(op, path);
}

static int failed(int e) { errno = e; return -1; }

ssize_t write(int fd, const void *buf, size_t n) {
  int e = fd_fails("write", fd);
  if (e && short_write && n > 1) n /= 2;
  else if (e) return failed(e);
  return REAL(write)(fd, buf, n);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  int e = fd_fails("write", fd);
  if (e && short_write && n > 1) n /= 2;
  else if (e) return failed(e);
  return REAL(pwrite)(fd, buf, n, off);
}
int fsync(int fd) { int e = fd_fails("fsync", fd); return e ? failed(e) : REAL(fsync)(fd); }
int fdatasync(int fd) { int e = fd_fails("fsync", fd); return e ? failed(e) : REAL(fdatasync)(fd); }
int rename(const char *from, const char *to) {
  int e = should_fail("rename", to);
  return e ? failed(e) : REAL(rename)(from, to);
}
int link(const char *from, const char *to) {
  int e = should_fail("link", to);
  return e ? failed(e) : REAL(link)(from, to);
}
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
  if (armed && nth > 0 && watched("pthread_create") && __atomic_add_fetch(&seen, 1, __ATOMIC_SEQ_CST) >= nth) {
    __atomic_add_fetch(&fired, 1, __ATOMIC_SEQ_CST);
    return atoi(env("FAULT_ERRNO")) > 0 ? err_no : EAGAIN;
  }
  return REAL(pthread_create)(thread, attr, start, arg);
}
