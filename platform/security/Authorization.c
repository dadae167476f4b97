// Authorization services on Linux.
//
// An authorization remembers whether it holds the administrator right. The
// right is obtained from, in this order: the prompt program named by
// CVL_AUTH_ASKPASS (exit status 0 granted, 1 denied, 2 cancelled); the
// process itself when it runs as root; otherwise polkit (pkcheck), and tools
// of a process that is not root then start through pkexec.
#define _GNU_SOURCE
#include "Security/Authorization.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#define CVL_AUTH_MAGIC 0x41757468u

struct AuthorizationOpaqueRef {
    uint32_t magic;
    pthread_mutex_t mutex;
    int admin;
};

enum { kPromptGranted = 0, kPromptDenied = 1, kPromptCancelled = 2 };

static const AuthorizationFlags kKnownFlags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
    kAuthorizationFlagPartialRights | kAuthorizationFlagDestroyRights |
    kAuthorizationFlagPreAuthorize;

static struct AuthorizationOpaqueRef* Valid(AuthorizationRef authorization) {
    struct AuthorizationOpaqueRef* ref = (struct AuthorizationOpaqueRef*)authorization;
    if (!ref || ref->magic != CVL_AUTH_MAGIC)
        return NULL;
    return ref;
}

static int WaitChild(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

// A child that fails to exec writes its errno into a close-on-exec pipe; a
// successful exec closes the pipe with nothing written. Reads that word, if
// any, and closes the read end: more than 0 means the exec failed.
static ssize_t ReadExecError(int fd, int* error) {
    ssize_t got;
    do {
        got = read(fd, error, sizeof *error);
    } while (got < 0 && errno == EINTR);
    close(fd);
    return got;
}

// Runs argv with standard input and output on /dev/null and returns its wait
// status, or -1 when it could not be started.
static int RunQuietly(char* const argv[]) {
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(errorPipe[0]);
        close(errorPipe[1]);
        return -1;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
        }
        execvp(argv[0], argv);
        const int error = errno;
        if (write(errorPipe[1], &error, sizeof error) < 0)
            _exit(127);
        _exit(127);
    }
    close(errorPipe[1]);
    int error = 0;
    const ssize_t got = ReadExecError(errorPipe[0], &error);
    int status = 0;
    if (WaitChild(pid, &status) != 0 || got > 0)
        return -1;
    return status;
}

static OSStatus AskPromptProgram(const char* program, const char* rightName) {
    char prompt[512];
    snprintf(prompt, sizeof prompt,
             "An application wants the right \"%s\". Enter an administrator's password to "
             "allow this.",
             rightName);
    char* argv[] = {(char*)program, prompt, NULL};
    const int status = RunQuietly(argv);
    if (status < 0 || !WIFEXITED(status))
        return errAuthorizationInternal;
    switch (WEXITSTATUS(status)) {
    case kPromptGranted:
        return errAuthorizationSuccess;
    case kPromptCancelled:
        return errAuthorizationCanceled;
    default:
        return errAuthorizationDenied;
    }
}

static OSStatus AskPolkit(void) {
    char pid[32];
    snprintf(pid, sizeof pid, "%d", (int)getpid());
    char* argv[] = {"pkcheck",   "--action-id", "org.freedesktop.policykit.exec",
                    "--process", pid,           "--allow-user-interaction",
                    NULL};
    const int status = RunQuietly(argv);
    if (status < 0 || !WIFEXITED(status))
        return errAuthorizationInternal;
    // pkcheck: 0 authorized, 1 not authorized, 2 a challenge was needed but
    // not answered, 3 the dialog was dismissed, 4 error.
    switch (WEXITSTATUS(status)) {
    case 0:
        return errAuthorizationSuccess;
    case 1:
    case 2:
        return errAuthorizationDenied;
    case 3:
        return errAuthorizationCanceled;
    default:
        return errAuthorizationInternal;
    }
}

static OSStatus ObtainAdmin(struct AuthorizationOpaqueRef* ref, const char* rightName,
                            AuthorizationFlags flags) {
    pthread_mutex_lock(&ref->mutex);
    const int held = ref->admin;
    pthread_mutex_unlock(&ref->mutex);
    if (held)
        return errAuthorizationSuccess;
    if (!(flags & kAuthorizationFlagExtendRights))
        return errAuthorizationDenied;

    OSStatus status;
    const char* program = getenv("CVL_AUTH_ASKPASS");
    if (program && *program) {
        if (!(flags & kAuthorizationFlagInteractionAllowed))
            return errAuthorizationInteractionNotAllowed;
        status = AskPromptProgram(program, rightName);
    } else if (geteuid() == 0) {
        status = errAuthorizationSuccess;
    } else {
        if (!(flags & kAuthorizationFlagInteractionAllowed))
            return errAuthorizationInteractionNotAllowed;
        status = AskPolkit();
    }
    if (status == errAuthorizationSuccess) {
        pthread_mutex_lock(&ref->mutex);
        ref->admin = 1;
        pthread_mutex_unlock(&ref->mutex);
    }
    return status;
}

static OSStatus CheckSet(const AuthorizationItemSet* set) {
    if (!set)
        return errAuthorizationInvalidSet;
    if (set->count > 0 && !set->items)
        return errAuthorizationInvalidSet;
    for (uint32_t i = 0; i < set->count; ++i) {
        if (!set->items[i].name || !*set->items[i].name)
            return errAuthorizationInvalidTag;
        if (set->items[i].valueLength > 0 && !set->items[i].value)
            return errAuthorizationInvalidSet;
    }
    return errAuthorizationSuccess;
}

static AuthorizationItemSet* CopySet(const AuthorizationItemSet* set) {
    AuthorizationItemSet* copy = calloc(1, sizeof *copy);
    if (!copy)
        return NULL;
    if (set->count == 0)
        return copy;
    copy->items = calloc(set->count, sizeof *copy->items);
    if (!copy->items) {
        free(copy);
        return NULL;
    }
    copy->count = set->count;
    for (uint32_t i = 0; i < set->count; ++i) {
        const AuthorizationItem* item = &set->items[i];
        copy->items[i].name = strdup(item->name);
        copy->items[i].flags = item->flags;
        copy->items[i].valueLength = item->valueLength;
        if (item->valueLength > 0) {
            copy->items[i].value = malloc(item->valueLength);
            if (copy->items[i].value)
                memcpy(copy->items[i].value, item->value, item->valueLength);
        }
        if (!copy->items[i].name || (item->valueLength > 0 && !copy->items[i].value)) {
            AuthorizationFreeItemSet(copy);
            return NULL;
        }
    }
    return copy;
}

OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization) {
    (void)environment;
    if (flags & ~kKnownFlags)
        return errAuthorizationInvalidFlags;
    if (rights && CheckSet(rights) != errAuthorizationSuccess)
        return errAuthorizationInvalidSet;
    // Without a place for the reference only a pre-check of rights makes sense.
    if (!authorization && !(rights && (flags & kAuthorizationFlagExtendRights)))
        return errAuthorizationInvalidPointer;

    struct AuthorizationOpaqueRef* ref = calloc(1, sizeof *ref);
    if (!ref)
        return errAuthorizationInternal;
    ref->magic = CVL_AUTH_MAGIC;
    pthread_mutex_init(&ref->mutex, NULL);

    if (rights && rights->count > 0 && (flags & kAuthorizationFlagExtendRights)) {
        const OSStatus status = AuthorizationCopyRights(ref, rights, environment, flags, NULL);
        if (status != errAuthorizationSuccess) {
            AuthorizationFree(ref, kAuthorizationFlagDefaults);
            return status;
        }
    }
    if (authorization)
        *authorization = ref;
    else
        AuthorizationFree(ref, kAuthorizationFlagDefaults);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
    struct AuthorizationOpaqueRef* ref = Valid(authorization);
    if (!ref)
        return errAuthorizationInvalidRef;
    if (flags & ~kKnownFlags)
        return errAuthorizationInvalidFlags;
    ref->magic = 0;
    pthread_mutex_destroy(&ref->mutex);
    free(ref);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights) {
    (void)environment;
    struct AuthorizationOpaqueRef* ref = Valid(authorization);
    if (!ref)
        return errAuthorizationInvalidRef;
    if (flags & ~kKnownFlags)
        return errAuthorizationInvalidFlags;
    const OSStatus valid = CheckSet(rights);
    if (valid != errAuthorizationSuccess)
        return valid;

    // Every right stands for acting as administrator: one grant covers all.
    for (uint32_t i = 0; i < rights->count; ++i) {
        const OSStatus status = ObtainAdmin(ref, rights->items[i].name, flags);
        if (status != errAuthorizationSuccess)
            return status;
    }
    if (authorizedRights) {
        *authorizedRights = CopySet(rights);
        if (!*authorizedRights)
            return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set) {
    if (!set)
        return errAuthorizationInvalidSet;
    for (uint32_t i = 0; i < set->count; ++i) {
        free((void*)set->items[i].name);
        free(set->items[i].value);
    }
    free(set->items);
    free(set);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe) {
    struct AuthorizationOpaqueRef* ref = Valid(authorization);
    if (!ref)
        return errAuthorizationInvalidRef;
    if (!pathToTool)
        return errAuthorizationInvalidPointer;
    if (options != kAuthorizationFlagDefaults)
        return errAuthorizationInvalidFlags;
    const OSStatus granted =
        ObtainAdmin(ref, kAuthorizationRightExecute,
                    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights);
    if (granted != errAuthorizationSuccess)
        return granted;

    // Without a prompt program, a process that is not root reaches root
    // through pkexec.
    const char* program = getenv("CVL_AUTH_ASKPASS");
    const int throughPkexec = !(program && *program) && geteuid() != 0;

    size_t count = 0;
    while (arguments && arguments[count])
        ++count;
    char** argv = calloc(count + 3, sizeof *argv);
    if (!argv)
        return errAuthorizationInternal;
    size_t next = 0;
    if (throughPkexec)
        argv[next++] = "pkexec";
    argv[next++] = (char*)pathToTool;
    for (size_t i = 0; i < count; ++i)
        argv[next++] = arguments[i];
    const char* executable = throughPkexec ? "/usr/bin/pkexec" : pathToTool;

    int channel[2] = {-1, -1};
    if (communicationsPipe && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        free(argv);
        return errAuthorizationInternal;
    }
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        if (channel[0] >= 0) {
            close(channel[0]);
            close(channel[1]);
        }
        free(argv);
        return errAuthorizationInternal;
    }

    const pid_t pid = fork();
    if (pid == 0) {
        if (channel[1] >= 0) {
            dup2(channel[1], STDIN_FILENO);
            dup2(channel[1], STDOUT_FILENO);
        }
        execv(executable, argv);
        const int error = errno;
        if (write(errorPipe[1], &error, sizeof error) < 0)
            _exit(127);
        _exit(127);
    }
    free(argv);
    close(errorPipe[1]);
    if (channel[1] >= 0)
        close(channel[1]);
    if (pid < 0) {
        close(errorPipe[0]);
        if (channel[0] >= 0)
            close(channel[0]);
        return errAuthorizationToolExecuteFailure;
    }

    int error = 0;
    const ssize_t got = ReadExecError(errorPipe[0], &error);
    if (got > 0) {
        int status;
        WaitChild(pid, &status);
        if (channel[0] >= 0)
            close(channel[0]);
        return errAuthorizationToolExecuteFailure;
    }

    if (communicationsPipe) {
        fcntl(channel[0], F_SETOWN, pid);
        *communicationsPipe = fdopen(channel[0], "r+");
        if (!*communicationsPipe) {
            close(channel[0]);
            return errAuthorizationInternal;
        }
    }
    return errAuthorizationSuccess;
}
