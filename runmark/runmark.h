/*
 * runmark: marks in the registry that a process runs, clears the mark, and tells whether the
 * marked process still runs.
 *
 * Every function takes one argument, the path of an existing registry key relative to
 * HKEY_LOCAL_MACHINE, for example "Software\\Vendor\\Product". The string is zero-terminated
 * 8-bit text owned by the caller; it is only read during the call and never kept. A null
 * pointer is a key that cannot be opened. No function creates a key, allocates memory the
 * caller must free, keeps state between calls, logs, or needs initialisation; all are safe to
 * call from any thread.
 *
 * The mark is the string value "SubInstaller" of that key (REG_SZ, stored without a
 * terminating zero): "0x" followed by the process id in upper-case hexadecimal ("0x4D2" for
 * id 1234). "0x0" is a cleared mark; "0xFFFFFFFF" always counts as running.
 *
 * Windows: runmark.dll (x86 or x64, matching the caller), exported undecorated with the
 * caller-cleans (__cdecl) convention, by name and by ordinal: AddRunningKey 1,
 * ClearRunningKey 2, IsRunning 3. The key is HKEY_LOCAL_MACHINE\<path> of the real registry
 * (a 32-bit caller sees the 32-bit view of it, as for any 32-bit program).
 *
 * Linux: librunmark.so. The key is the folder <root>/HKEY_LOCAL_MACHINE/<path>, where <root>
 * is the environment variable RUNMARK_ROOT or, when unset or empty, /var/lib/runmark; the
 * value is the file "SubInstaller" in it. Backslashes and forward slashes both separate key
 * names; a path with an empty name (a leading, doubled or trailing separator), "." or ".."
 * cannot be opened. A value is replaced whole: a concurrent reader sees the old or the new mark.
 */
#ifndef RUNMARK_H
#define RUNMARK_H

#include <stdint.h>

#if defined(_WIN32)
#define RUNMARK_CALL __cdecl
#else
#define RUNMARK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes "0x" and the calling process's id into "SubInstaller".
 * Returns 0 done; -3 the key does not exist or cannot be opened for writing;
 * -2 the value cannot be written. */
int32_t RUNMARK_CALL AddRunningKey(const char* keyPath);

/* Writes the cleared mark "0x0" into "SubInstaller".
 * Returns 0 done; -3 the key does not exist or cannot be opened for writing;
 * -2 the value cannot be written. */
int32_t RUNMARK_CALL ClearRunningKey(const char* keyPath);

/* Reads "SubInstaller" and asks the system whether the process it names exists.
 * Returns 0 running (or the id is 0xFFFFFFFF); -2 the key does not exist or cannot be
 * opened for reading; -3 the value is missing, longer than 100 bytes, or does not start with
 * "0x" followed by hexadecimal digits of a number that fits 32 bits (what follows the digits
 * is not read, as with the pattern "0x%X"); -4 not running: the id is 0, no such process
 * exists, or it exists but this process may not open (Windows) or signal (Linux) it. A child
 * that has exited but has not been waited for (Windows: while a handle to it is open) still
 * exists. */
int32_t RUNMARK_CALL IsRunning(const char* keyPath);

/* Pointer types for callers that load the library at run time (dlopen, LoadLibrary). */
typedef int32_t(RUNMARK_CALL* RunmarkFunction)(const char* keyPath);

#ifdef __cplusplus
}
#endif

#endif /* RUNMARK_H */
