/* A preloaded library for crash tests: counts the calls of a process that
 * change chosen paths (a card's device node, its mount, the journal folder)
 * and kills the process with SIGKILL right before one of them, as a power cut
 * or `kill -9` stops a program between two steps. The program has no hooks.
 *   FLINTOR_KILL_PATHS=/dev/loop3:/tmp/x/mnt:...  what is watched
 *   FLINTOR_KILL_AT=N     SIGKILL before the Nth counted call (0: never)
 *   FLINTOR_KILL_LOG=F    "N call path" is appended to F for every counted call
 * Counted: open(at) for writing, write, pwrite, rename(at), unlink(at), mkdir(at),
 * rmdir, fsync, syncfs. Programs the process starts do not inherit it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char watched[8][PATH_MAX];
static int watchedCount, logFd = -1;
static long killAt, counted;
static __thread int inside;
static ssize_t (*realWrite)(int, const void*, size_t);
static int (*realOpen)(const char*, int, ...);

__attribute__((constructor)) static void Start(void)
{
    realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    for (const char* p = getenv("FLINTOR_KILL_PATHS"); p && *p && watchedCount < 8;) {
        const size_t n = strcspn(p, ":");
        if (n > 0 && n < PATH_MAX)
            memcpy(watched[watchedCount++], p, n);
        p += n + (p[n] == ':');
    }
    killAt = getenv("FLINTOR_KILL_AT") ? atol(getenv("FLINTOR_KILL_AT")) : 0;
    if (getenv("FLINTOR_KILL_LOG") && *getenv("FLINTOR_KILL_LOG"))
        logFd = realOpen(getenv("FLINTOR_KILL_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    unsetenv("LD_PRELOAD"); /* only this process is counted */
}

/* The absolute path of a path relative to a folder descriptor, or of a descriptor (path NULL). */
static int Resolve(int fd, const char* path, char* out)
{
    char base[PATH_MAX], link[64];
    if (path && path[0] == '/')
        return snprintf(out, PATH_MAX, "%s", path) < PATH_MAX;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = fd == AT_FDCWD ? (getcwd(base, sizeof base) ? (ssize_t)strlen(base) : -1)
                                     : readlink(link, base, sizeof base - 1);
    if (n < 0)
        return 0;
    base[n] = '\0';
    return snprintf(out, PATH_MAX, path ? "%s/%s" : "%s", base, path) < PATH_MAX;
}

static void Count(const char* call, int fd, const char* path)
{
    char full[PATH_MAX];
    if (inside || !Resolve(fd, path, full))
        return;
    for (int i = 0; i < watchedCount; ++i) {
        const size_t n = strlen(watched[i]);
        if (strncmp(full, watched[i], n) != 0 || (full[n] != '\0' && full[n] != '/'))
            continue;
        inside = 1;
        ++counted;
        char line[PATH_MAX + 64];
        if (logFd >= 0)
            realWrite(logFd, line, (size_t)snprintf(line, sizeof line, "%ld %s %s\n", counted, call, full));
        if (counted == killAt)
            kill(getpid(), SIGKILL);
        inside = 0;
        return;
    }
}

#define COMMA ,
#define WRITES(flags) (((flags) & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0)
#define REAL(type, name, params)                                                                                       \
    static type(*real) params;                                                                                         \
    if (!real)                                                                                                         \
    real = (type(*) params)dlsym(RTLD_NEXT, name)

/* A call counted on the path `path` relative to `fd` (or on `fd` itself). */
#define CALL(type, name, params, args, fd, path)                                                                       \
    type name params                                                                                                   \
    {                                                                                                                  \
        REAL(type, #name, params);                                                                                     \
        Count(#name, fd, path);                                                                                        \
        return real args;                                                                                              \
    }
#define OPEN(name, dirParam, dirArg, dirfd)                                                                            \
    int name(dirParam const char* path, int flags, ...)                                                                \
    {                                                                                                                  \
        va_list list;                                                                                                  \
        va_start(list, flags);                                                                                         \
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(list, mode_t) : 0;                                \
        va_end(list);                                                                                                  \
        REAL(int, #name, (dirParam const char*, int, ...));                                                            \
        if (WRITES(flags))                                                                                             \
            Count(#name, dirfd, path);                                                                                 \
        return real(dirArg path, flags, mode);                                                                         \
    }

OPEN(open, , , AT_FDCWD)
OPEN(openat, int dir COMMA, dir COMMA, dir)
CALL(ssize_t, pwrite, (int fd, const void* d, size_t n, off_t o), (fd, d, n, o), fd, NULL)
CALL(int, rename, (const char* a, const char* b), (a, b), AT_FDCWD, a)
CALL(int, renameat, (int da, const char* a, int db, const char* b), (da, a, db, b), da, a)
CALL(int, unlink, (const char* p), (p), AT_FDCWD, p)
CALL(int, unlinkat, (int d, const char* p, int f), (d, p, f), d, p)
CALL(int, mkdir, (const char* p, mode_t m), (p, m), AT_FDCWD, p)
CALL(int, mkdirat, (int d, const char* p, mode_t m), (d, p, m), d, p)
CALL(int, rmdir, (const char* p), (p), AT_FDCWD, p)
CALL(int, fsync, (int fd), (fd), fd, NULL)
CALL(int, syncfs, (int fd), (fd), fd, NULL)

ssize_t write(int fd, const void* data, size_t size)
{
    if (!realWrite)
        realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    Count("write", fd, NULL);
    return realWrite(fd, data, size);
}
