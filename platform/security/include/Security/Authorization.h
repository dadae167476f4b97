// Authorization services: obtaining administrator rights and running a tool
// with them.
//
// On this platform the password prompt is a program of the user's choice or
// polkit; see docs/uninstaller.md ("Security stand-in") for how a right is
// granted.
#ifndef SECURITY_AUTHORIZATION_H
#define SECURITY_AUTHORIZATION_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CVL_OSSTATUS_DEFINED
#define CVL_OSSTATUS_DEFINED
typedef int32_t OSStatus;
#endif

enum {
    errAuthorizationSuccess = 0,
    errAuthorizationInvalidSet = -60001,
    errAuthorizationInvalidRef = -60002,
    errAuthorizationInvalidTag = -60003,
    errAuthorizationInvalidPointer = -60004,
    errAuthorizationDenied = -60005,
    errAuthorizationCanceled = -60006,
    errAuthorizationInteractionNotAllowed = -60007,
    errAuthorizationInternal = -60008,
    errAuthorizationExternalizeNotAllowed = -60009,
    errAuthorizationInternalizeNotAllowed = -60010,
    errAuthorizationInvalidFlags = -60011,
    errAuthorizationToolExecuteFailure = -60031,
    errAuthorizationToolEnvironmentError = -60032,
    errAuthorizationBadAddress = -60033
};

typedef uint32_t AuthorizationFlags;

enum {
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = (1 << 0),
    kAuthorizationFlagExtendRights = (1 << 1),
    kAuthorizationFlagPartialRights = (1 << 2),
    kAuthorizationFlagDestroyRights = (1 << 3),
    kAuthorizationFlagPreAuthorize = (1 << 4)
};

// The right to act as administrator, the one a privileged tool needs.
#define kAuthorizationRightExecute "system.privilege.admin"

typedef const struct AuthorizationOpaqueRef* AuthorizationRef;
typedef const char* AuthorizationString;

typedef struct {
    AuthorizationString name;
    size_t valueLength;
    void* value;
    uint32_t flags;
} AuthorizationItem;

typedef struct {
    uint32_t count;
    AuthorizationItem* items;
} AuthorizationItemSet;

typedef AuthorizationItemSet AuthorizationRights;
typedef AuthorizationItemSet AuthorizationEnvironment;

#define kAuthorizationEmptyEnvironment NULL

// Creates an authorization. With rights and kAuthorizationFlagExtendRights
// the rights are obtained at once, as by AuthorizationCopyRights.
OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization);

// Releases an authorization; kAuthorizationFlagDestroyRights also forgets the
// rights it holds.
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

// Obtains rights for an authorization, asking the user where flags allow it.
// authorizedRights, when not null, receives a copy of the granted rights, to
// be released with AuthorizationFreeItemSet.
OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights);

OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set);

// Starts pathToTool with the administrator right (obtained first if the
// authorization does not hold it) and the null-terminated argument vector
// arguments. communicationsPipe, when not null, receives a stream connected
// to the tool's standard input and output; the owner of its descriptor
// (fcntl F_GETOWN) is the tool's process identifier. The caller reaps the
// tool with waitpid.
OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe);

#ifdef __cplusplus
}
#endif

#endif
