/* A preloaded library for crash tests: counts the calls of a process that
 * change chosen paths (a card's device node, its mount, the journal folder)
 * and kills the process with SIGKILL right before one of them, the way a
 * power cut or `kill -9` stops a program between two steps. The program
 * itself has no test hooks.
 *
 *   LD_PRELOAD=libflintor_killshim.so
 *   FLINTOR_KILL_PATHS=/dev/loop3:/tmp/x/mnt:/tmp/x/cache/flintor001/journal
 *   FLINTOR_KILL_AT=N      SIGKILL before the Nth counted call (0 or unset: never)
 *   FLINTOR_KILL_COUNT=F   the number of counted calls is written to F at exit
 *   FLINTOR_KILL_LOG=F     one line per counted call ("N call path") is appended to F
 *
 * Counted: open/openat/creat for writing, write, pwrite, rename(at),
 * unlink(at), remove, mkdir(at), rmdir, fsync, fdatasync, syncfs. Programs
 * the process starts do not inherit the library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_PATHS 8

static char watched[MAX_PATHS][PATH_MAX];
static int watchedCount;
static long killAt;
static long counted;
static char countFile[PATH_MAX];
static int logFd = -1;
static __thread int inside;

static ssize_t (*realWrite)(int, const void*, size_t);

static void* Next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

__attribute__((constructor)) static void Start(void)
{
    realWrite = (ssize_t(*)(int, const void*, size_t))Next("write");
    const char* paths = getenv("FLINTOR_KILL_PATHS");
    while (paths && *paths && watchedCount < MAX_PATHS) {
        const char* end = strchr(paths, ':');
        size_t length = end ? (size_t)(end - paths) : strlen(paths);
        if (length > 0 && length < PATH_MAX) {
            memcpy(watched[watchedCount], paths, length);
            watched[watchedCount][length] = '\0';
            ++watchedCount;
        }
        paths = end ? end + 1 : NULL;
    }
    const char* at = getenv("FLINTOR_KILL_AT");
    killAt = at ? atol(at) : 0;
    const char* file = getenv("FLINTOR_KILL_COUNT");
    if (file && strlen(file) < PATH_MAX)
        strcpy(countFile, file);
    const char* log = getenv("FLINTOR_KILL_LOG");
    if (log) {
        int (*realOpen)(const char*, int, ...) = (int (*)(const char*, int, ...))Next("open");
        logFd = realOpen(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    /* Only this process is counted: the tools it runs start clean. */
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void Stop(void)
{
    if (countFile[0] == '\0')
        return;
    int (*realOpen)(const char*, int, ...) = (int (*)(const char*, int, ...))Next("open");
    int fd = realOpen(countFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", counted);
    realWrite(fd, text, (size_t)n);
    close(fd);
}

static int Watched(const char* path)
{
    if (!path)
        return 0;
    for (int i = 0; i < watchedCount; ++i) {
        size_t length = strlen(watched[i]);
        if (strncmp(path, watched[i], length) == 0 && (path[length] == '\0' || path[length] == '/'))
            return 1;
    }
    return 0;
}

static int FdPath(int fd, char* out)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, PATH_MAX - 1);
    if (n < 0)
        return 0;
    out[n] = '\0';
    return 1;
}

/* The absolute form of a path given relative to a folder descriptor. */
static int AtPath(int dirfd, const char* path, char* out)
{
    char base[PATH_MAX];
    if (!path)
        return 0;
    if (path[0] == '/')
        return snprintf(out, PATH_MAX, "%s", path) < PATH_MAX;
    if (dirfd == AT_FDCWD ? getcwd(base, sizeof base) == NULL : !FdPath(dirfd, base))
        return 0;
    return snprintf(out, PATH_MAX, "%s/%s", base, path) < PATH_MAX;
}

/* One counted call: logged, and the process dies before the Nth. */
static void Count(const char* call, const char* path)
{
    ++counted;
    if (logFd >= 0) {
        char line[PATH_MAX + 64];
        int n = snprintf(line, sizeof line, "%ld %s %s\n", counted, call, path);
        realWrite(logFd, line, (size_t)n);
    }
    if (killAt > 0 && counted == killAt)
        kill(getpid(), SIGKILL);
}

static void CountPath(const char* call, int dirfd, const char* path)
{
    char full[PATH_MAX];
    if (inside || !AtPath(dirfd, path, full) || !Watched(full))
        return;
    inside = 1;
    Count(call, full);
    inside = 0;
}

static void CountFd(const char* call, int fd)
{
    char full[PATH_MAX];
    if (inside || fd < 0 || !FdPath(fd, full) || !Watched(full))
        return;
    inside = 1;
    Count(call, full);
    inside = 0;
}

static int Writes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

#define REAL(type, name, args)                                                                                         \
    static type(*real) args;                                                                                           \
    if (!real)                                                                                                         \
    real = (type(*) args)Next(name)

int open(const char* path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(list, mode_t) : 0;
    va_end(list);
    REAL(int, "open", (const char*, int, ...));
    if (Writes(flags))
        CountPath("open", AT_FDCWD, path);
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(list, mode_t) : 0;
    va_end(list);
    REAL(int, "open64", (const char*, int, ...));
    if (Writes(flags))
        CountPath("open", AT_FDCWD, path);
    return real(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(list, mode_t) : 0;
    va_end(list);
    REAL(int, "openat", (int, const char*, int, ...));
    if (Writes(flags))
        CountPath("openat", dirfd, path);
    return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(list, mode_t) : 0;
    va_end(list);
    REAL(int, "openat64", (int, const char*, int, ...));
    if (Writes(flags))
        CountPath("openat", dirfd, path);
    return real(dirfd, path, flags, mode);
}

int creat(const char* path, mode_t mode)
{
    REAL(int, "creat", (const char*, mode_t));
    CountPath("creat", AT_FDCWD, path);
    return real(path, mode);
}

ssize_t write(int fd, const void* data, size_t size)
{
    if (!realWrite)
        realWrite = (ssize_t(*)(int, const void*, size_t))Next("write");
    CountFd("write", fd);
    return realWrite(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    REAL(ssize_t, "pwrite", (int, const void*, size_t, off_t));
    CountFd("pwrite", fd);
    return real(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset)
{
    REAL(ssize_t, "pwrite64", (int, const void*, size_t, off64_t));
    CountFd("pwrite", fd);
    return real(fd, data, size, offset);
}

int rename(const char* from, const char* to)
{
    REAL(int, "rename", (const char*, const char*));
    CountPath("rename", AT_FDCWD, from);
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    REAL(int, "renameat", (int, const char*, int, const char*));
    CountPath("renameat", fromDir, from);
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags)
{
    REAL(int, "renameat2", (int, const char*, int, const char*, unsigned int));
    CountPath("renameat", fromDir, from);
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char* path)
{
    REAL(int, "unlink", (const char*));
    CountPath("unlink", AT_FDCWD, path);
    return real(path);
}

int unlinkat(int dirfd, const char* path, int flags)
{
    REAL(int, "unlinkat", (int, const char*, int));
    CountPath("unlinkat", dirfd, path);
    return real(dirfd, path, flags);
}

int remove(const char* path)
{
    REAL(int, "remove", (const char*));
    CountPath("remove", AT_FDCWD, path);
    return real(path);
}

int mkdir(const char* path, mode_t mode)
{
    REAL(int, "mkdir", (const char*, mode_t));
    CountPath("mkdir", AT_FDCWD, path);
    return real(path, mode);
}

int mkdirat(int dirfd, const char* path, mode_t mode)
{
    REAL(int, "mkdirat", (int, const char*, mode_t));
    CountPath("mkdirat", dirfd, path);
    return real(dirfd, path, mode);
}

int rmdir(const char* path)
{
    REAL(int, "rmdir", (const char*));
    CountPath("rmdir", AT_FDCWD, path);
    return real(path);
}

int fsync(int fd)
{
    REAL(int, "fsync", (int));
    CountFd("fsync", fd);
    return real(fd);
}

int fdatasync(int fd)
{
    REAL(int, "fdatasync", (int));
    CountFd("fdatasync", fd);
    return real(fd);
}

int syncfs(int fd)
{
    REAL(int, "syncfs", (int));
    CountFd("syncfs", fd);
    return real(fd);
}
