/*
 * oom_alloc.c - the allocator of the allocation-failure workload.
 *
 * Defined in the executable, these functions take the place of the C
 * library's for every shared library of the process (libquor7, SQLite,
 * zlib, libstdc++'s operator new, which calls malloc) and forward to the
 * C library's own entry points.  Allocations are counted only while the
 * workload is inside a call of the library (oom_enter / oom_leave), so the
 * dynamic loader, static initialisers and the workload's own bookkeeping
 * never count: a failure of those would say nothing about the library.
 * Allocation number oom_fail_at() fails once, returning null.
 */
#include "oom_alloc.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);

static long g_count;    /* allocations seen inside library calls */
static long g_fail_at;  /* the one to fail; 0: none */
static int g_depth;     /* > 0 while inside a library call */

void oom_arm(long fail_at) { __atomic_store_n(&g_fail_at, fail_at, __ATOMIC_SEQ_CST); }
long oom_count(void) { return __atomic_load_n(&g_count, __ATOMIC_SEQ_CST); }
void oom_enter(void) { __atomic_add_fetch(&g_depth, 1, __ATOMIC_SEQ_CST); }
void oom_leave(void) { __atomic_sub_fetch(&g_depth, 1, __ATOMIC_SEQ_CST); }

/* Counts one allocation and answers whether it is the one to fail. */
static int should_fail(size_t size) {
    if (__atomic_load_n(&g_depth, __ATOMIC_SEQ_CST) <= 0) return 0;
    long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
    if (n != __atomic_load_n(&g_fail_at, __ATOMIC_SEQ_CST)) return 0;
    /* No stdio here: it may allocate. */
    char note[96];
    int len = snprintf(note, sizeof note, "oom_workload: allocation %ld (%zu bytes) fails\n", n, size);
    if (len > 0 && write(2, note, (size_t)len) < 0) {
    }
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size) { return should_fail(size) ? NULL : __libc_malloc(size); }

void *calloc(size_t n, size_t size) { return should_fail(n * size) ? NULL : __libc_calloc(n, size); }

void *realloc(void *p, size_t size) {
    /* realloc(p, 0) only frees: nothing to fail. */
    if (size == 0 && p) return __libc_realloc(p, 0);
    return should_fail(size) ? NULL : __libc_realloc(p, size);
}

void *memalign(size_t alignment, size_t size) {
    return should_fail(size) ? NULL : __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void *p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t size) { return memalign((size_t)sysconf(_SC_PAGESIZE), size); }

void *pvalloc(size_t size) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return memalign(page, (size + page - 1) / page * page);
}
