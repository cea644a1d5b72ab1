// SPDX-License-Identifier: BSD-2-Clause
/* Preloaded into the tool, makes its folders behave like those of NFS, SMB,
   vfat or FUSE, which cannot hold unnamed files: open() with O_TMPFILE fails
   with EOPNOTSUPP, so that outputs take the named-temporary path. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

#define REFUSE_TMPFILE(name, call_args, ...)                              \
    int name(__VA_ARGS__, int flags, ...) {                               \
        mode_t mode = 0;                                                  \
        if (flags & (O_CREAT | O_TMPFILE)) {                              \
            va_list args;                                                 \
            va_start(args, flags);                                        \
            mode = va_arg(args, mode_t);                                  \
            va_end(args);                                                 \
        }                                                                 \
        if ((flags & O_TMPFILE) == O_TMPFILE) {                           \
            errno = EOPNOTSUPP;                                           \
            return -1;                                                    \
        }                                                                 \
        static int (*next)(__VA_ARGS__, int, ...);                        \
        if (!next) *(void **)&next = dlsym(RTLD_NEXT, #name);            \
        return next call_args;                                            \
    }

REFUSE_TMPFILE(open, (path, flags, mode), const char *path)
REFUSE_TMPFILE(open64, (path, flags, mode), const char *path)
REFUSE_TMPFILE(openat, (dir, path, flags, mode), int dir, const char *path)
REFUSE_TMPFILE(openat64, (dir, path, flags, mode), int dir, const char *path)
