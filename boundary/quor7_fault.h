/*
 * quor7_fault.h - fault injection for tests of libquor7 and of the code
 * built on it.  Compiled into the library only when the build option
 * QUOR7_FAULT_INJECTION is on (the default for development and test
 * builds, off for installed builds); otherwise every call is a no-op and
 * Q7fault_should_fail always answers 0.
 *
 * A fault is armed for a named operation, normally the public function's
 * own name ("Q7allocate_memory", "Q7get_libversion", "Q7Fclose", ...), or a
 * finer point inside an operation ("Q7DOread_chunk:keep_mask").  The nth
 * call of the operation counted from the moment of arming fails, and so
 * do the following (count - 1) calls; count -1 means every call from the
 * nth on.
 *
 * The same faults can be armed from outside a process through the
 * environment variable QUOR7_FAULTS, read by Q7open:
 *     QUOR7_FAULTS="Q7Fclose@1,Q7allocate_memory@3x2,Q7Tcopy@1x-1"
 * (operation@nth, optionally xcount).
 */
#ifndef QUOR7_FAULT_H
#define QUOR7_FAULT_H

#ifdef __cplusplus
extern "C" {
#endif

void Q7fault_arm(const char *operation, long nth, long count);
void Q7fault_disarm(const char *operation);
void Q7fault_clear(void);
/* Number of calls of the operation seen since the process started (or
 * since Q7fault_clear), counted whether or not a fault is armed. */
long Q7fault_calls(const char *operation);
/* Called by the library at a fault point: counts the call and answers
 * non-zero when this call is to fail. */
int  Q7fault_should_fail(const char *operation);
/* 1 when fault injection is compiled in. */
int  Q7fault_enabled(void);

/* Observer of the file-level steps the library takes itself, outside
 * SQLite: moving a new file into place, removing side files, syncing a
 * file or a directory.  Each callback runs after the step, with the
 * step's result (0 done, -1 failed); any may be null.  Null observer:
 * none.  For tests that model what a disk holds after a power cut. */
typedef struct Q7fault_file_observer {
    void (*renamed)(void *user_data, const char *from, const char *to, int result);
    void (*linked)(void *user_data, const char *from, const char *to, int result);
    void (*unlinked)(void *user_data, const char *path, int result);
    void (*synced)(void *user_data, const char *path, int is_directory, int result);
    void *user_data;
} Q7fault_file_observer;
void Q7fault_observe_files(const Q7fault_file_observer *observer);
/* Called by the library after each such step (no-op without fault injection). */
void Q7fault_file_event(int kind, const char *path, const char *other, int result);
#define Q7FAULT_FILE_RENAMED 0
#define Q7FAULT_FILE_LINKED 1
#define Q7FAULT_FILE_UNLINKED 2
#define Q7FAULT_FILE_SYNCED 3
#define Q7FAULT_DIR_SYNCED 4

#ifdef __cplusplus
}
#endif

#endif /* QUOR7_FAULT_H */
