// Process information: the list of process identifiers and the BSD
// information record of a process, read on Linux from /proc.
#ifndef CVL_PLATFORM_LIBPROC_H
#define CVL_PLATFORM_LIBPROC_H

#include <sys/proc_info.h>

#ifdef __cplusplus
extern "C" {
#endif

// Fills buffer with the identifiers of the processes that type selects
// (PROC_ALL_PIDS only; typeinfo is unused), as many as fit in buffersize
// bytes. Returns the number of bytes filled, or, with a null buffer, the
// number of bytes the list needs now. Returns 0 on failure (errno set).
int proc_listpids(uint32_t type, uint32_t typeinfo, void* buffer, int buffersize);

// Fills buffer with the record that flavor names for process pid
// (PROC_PIDTBSDINFO: a struct proc_bsdinfo). Returns the number of bytes
// filled, or 0 when the process does not exist, the flavour is unknown, or
// buffersize is too small (errno set).
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);

#ifdef __cplusplus
}
#endif

#endif
