// Authorization services of a system that no longer offers privileged
// execution: every call but AuthorizationExecuteWithPrivileges. Each call is
// announced on standard error so that tests see that none was made.
//
// Built with CVL_EXECUTE_WITHOUT_STREAM, the system has the call, but it
// reports success and gives back no output stream.
#include <Security/Authorization.h>

static struct AuthorizationOpaqueRef* const kRef = (struct AuthorizationOpaqueRef*)1;

OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization) {
    (void)rights;
    (void)environment;
    (void)flags;
    fprintf(stderr, "called AuthorizationCreate\n");
    *authorization = kRef;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights) {
    (void)authorization;
    (void)rights;
    (void)environment;
    (void)flags;
    (void)authorizedRights;
    fprintf(stderr, "called AuthorizationCopyRights\n");
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
    (void)authorization;
    (void)flags;
    fprintf(stderr, "called AuthorizationFree\n");
    return errAuthorizationSuccess;
}

#ifdef CVL_EXECUTE_WITHOUT_STREAM
OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe) {
    (void)authorization;
    (void)pathToTool;
    (void)options;
    (void)arguments;
    fprintf(stderr, "called AuthorizationExecuteWithPrivileges\n");
    if (communicationsPipe)
        *communicationsPipe = NULL;
    return errAuthorizationSuccess;
}
#endif
