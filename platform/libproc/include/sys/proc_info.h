// Process information records and selectors of the platform's process
// information interface (see libproc.h).
#ifndef CVL_PLATFORM_SYS_PROC_INFO_H
#define CVL_PLATFORM_SYS_PROC_INFO_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// proc_listpids selectors.
#define PROC_ALL_PIDS 1
#define PROC_PGRP_ONLY 2
#define PROC_TTY_ONLY 3
#define PROC_UID_ONLY 4
#define PROC_RUID_ONLY 5
#define PROC_PPID_ONLY 6

// proc_pidinfo flavours.
#define PROC_PIDTBSDINFO 3

#define MAXCOMLEN 16

// The BSD information record of one process: 136 bytes.
struct proc_bsdinfo {
    uint32_t pbi_flags;
    uint32_t pbi_status;
    uint32_t pbi_xstatus;
    uint32_t pbi_pid;
    uint32_t pbi_ppid;
    uid_t pbi_uid;
    gid_t pbi_gid;
    uid_t pbi_ruid;
    gid_t pbi_rgid;
    uid_t pbi_svuid;
    gid_t pbi_svgid;
    uint32_t rfu_1;
    char pbi_comm[MAXCOMLEN];     // the command name, cut to 15 characters
    char pbi_name[2 * MAXCOMLEN]; // the process name, up to 31 characters
    uint32_t pbi_nfiles;
    uint32_t pbi_pgid;
    uint32_t pbi_pjobc;
    uint32_t e_tdev;
    uint32_t e_tpgid;
    int32_t pbi_nice;
    uint64_t pbi_start_tvsec;
    uint64_t pbi_start_tvusec;
};

#define PROC_PIDTBSDINFO_SIZE (sizeof(struct proc_bsdinfo))

// Values of pbi_status.
#define SIDL 1
#define SRUN 2
#define SSLEEP 3
#define SSTOP 4
#define SZOMB 5

#ifdef __cplusplus
}
#endif

#endif
