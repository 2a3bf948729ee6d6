/* A file system the test machine does not have, played for a process through LD_PRELOAD: what
 * vfat and exFAT answer (no unnamed files, no hard links, but renames that refuse to replace), or,
 * with LODESTAR_SHIM_NO_RENAME_FLAGS set, what some shared-folder and network mounts answer (no
 * rename flag at all). With LODESTAR_SHIM_NO_PROC set instead, the file system is as it is but
 * there is no /proc, as in a container that mounts none. Only the calls whose answers differ are
 * taken over; everything else goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The C library's own function of that name (ISO C has no cast from dlsym's pointer to a function). */
static void* nextSymbol(const char* name, void* function, size_t size) {
    void* address = dlsym(RTLD_NEXT, name);
    memcpy(function, &address, size);
    return address;
}

static int renameFlagsRefused(void) {
    return getenv("LODESTAR_SHIM_NO_RENAME_FLAGS") != NULL;
}

static int onlyProcMissing(void) {
    return getenv("LODESTAR_SHIM_NO_PROC") != NULL;
}

static int inProc(const char* path) {
    return path != NULL && strncmp(path, "/proc/", 6) == 0;
}

/* openat() as the C library's `symbol` does it, but for unnamed files. */
static int openatLike(const char* symbol, int dirfd, const char* path, int flags, va_list args) {
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    if ((flags & O_TMPFILE) == O_TMPFILE && !onlyProcMissing()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(int, const char*, int, ...) = NULL;
    nextSymbol(symbol, &real, sizeof real);
    return real(dirfd, path, flags, mode);
}

// openat and openat64, the same but for the symbol they pass on to.
#define OPENAT_LIKE(name)                                           \
    int name(int dirfd, const char* path, int flags, ...) {         \
        va_list args;                                               \
        va_start(args, flags);                                      \
        const int fd = openatLike(#name, dirfd, path, flags, args); \
        va_end(args);                                               \
        return fd;                                                  \
    }
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    if (!onlyProcMissing()) {
        errno = EPERM;
        return -1;
    }
    if (inProc(from)) {
        errno = ENOENT;
        return -1;
    }
    int (*real)(int, const char*, int, const char*, int) = NULL;
    nextSymbol("linkat", &real, sizeof real);
    return real(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int access(const char* path, int mode) {
    if (onlyProcMissing() && inProc(path)) {
        errno = ENOENT;
        return -1;
    }
    int (*real)(const char*, int) = NULL;
    nextSymbol("access", &real, sizeof real);
    return real(path, mode);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    if (flags != 0 && renameFlagsRefused()) {
        errno = EINVAL;
        return -1;
    }
    int (*real)(int, const char*, int, const char*, unsigned int) = NULL;
    nextSymbol("renameat2", &real, sizeof real);
    return real(fromDir, from, toDir, to, flags);
}
