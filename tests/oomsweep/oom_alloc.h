/* oom_alloc.h - control of the counting allocator of oom_alloc.c. */
#ifndef OOM_ALLOC_H
#define OOM_ALLOC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Allocation number fail_at (counted from 1) fails once; 0: none fails. */
void oom_arm(long fail_at);
/* Allocations counted so far. */
long oom_count(void);
/* Brackets a call of the library: only allocations inside are counted. */
void oom_enter(void);
void oom_leave(void);

#ifdef __cplusplus
}
#endif

#endif
