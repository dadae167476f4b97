#import "STPrivilegedTask.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

NSString *const STPrivilegedTaskDidTerminateNotification =
    @"STPrivilegedTaskDidTerminateNotification";

typedef OSStatus (*ExecuteWithPrivilegesFunction)(AuthorizationRef, const char *,
                                                  AuthorizationFlags, char *const *, FILE **);

// Looked up at run time: systems that no longer offer the call leave it null.
static ExecuteWithPrivilegesFunction _AuthExecuteWithPrivsFn = NULL;

static const OSStatus kFunctionNotAvailable = -70001;

@implementation STPrivilegedTask

// Accessors are written out (manual reference counting, copied values):
// gcc's synthesized setters trip -Wunused-parameter.
- (NSArray *)arguments {
    return _arguments;
}

- (void)setArguments:(NSArray *)arguments {
    NSArray *copy = [arguments copy];
    [_arguments release];
    _arguments = copy;
}

- (NSString *)currentDirectoryPath {
    return _currentDirectoryPath;
}

- (void)setCurrentDirectoryPath:(NSString *)path {
    NSString *copy = [path copy];
    [_currentDirectoryPath release];
    _currentDirectoryPath = copy;
}

- (NSString *)launchPath {
    return _launchPath;
}

- (void)setLaunchPath:(NSString *)path {
    NSString *copy = [path copy];
    [_launchPath release];
    _launchPath = copy;
}

- (NSFileHandle *)outputFileHandle {
    return _outputFileHandle;
}

- (BOOL)isRunning {
    return _isRunning;
}

- (int32_t)processIdentifier {
    return _processIdentifier;
}

- (int32_t)terminationStatus {
    return _terminationStatus;
}

- (STPrivilegedTaskTerminationHandler)terminationHandler {
    return _terminationHandler;
}

- (void)setTerminationHandler:(STPrivilegedTaskTerminationHandler)handler {
    _terminationHandler = handler;
}

+ (void)initialize {
    if (self != [STPrivilegedTask class])
        return;
    _AuthExecuteWithPrivsFn =
        (ExecuteWithPrivilegesFunction)dlsym(RTLD_DEFAULT, "AuthorizationExecuteWithPrivileges");
}

- (id)init {
    self = [super init];
    if (self) {
        _launchPath = nil;
        _arguments = nil;
        _isRunning = NO;
        _outputFileHandle = nil;
        _terminationHandler = NULL;
        _currentDirectoryPath = [[[NSFileManager defaultManager] currentDirectoryPath] copy];
    }
    return self;
}

- (id)initWithLaunchPath:(NSString *)path {
    self = [self init];
    if (self)
        [self setLaunchPath:path];
    return self;
}

- (id)initWithLaunchPath:(NSString *)path arguments:(NSArray *)arguments {
    self = [self initWithLaunchPath:path];
    if (self)
        [self setArguments:arguments];
    return self;
}

- (id)initWithLaunchPath:(NSString *)path
               arguments:(NSArray *)arguments
        currentDirectory:(NSString *)directory {
    self = [self initWithLaunchPath:path arguments:arguments];
    if (self)
        [self setCurrentDirectoryPath:directory];
    return self;
}

- (void)dealloc {
    [_checkStatusTimer invalidate];
    [_checkStatusTimer release];
    [_arguments release];
    [_currentDirectoryPath release];
    [_launchPath release];
    [_outputFileHandle release];
    [super dealloc];
}

- (OSStatus)launch {
    if (_isRunning) {
        NSLog(@"Task already running: %@", [self description]);
        return 0;
    }
    if (![STPrivilegedTask authorizationFunctionAvailable]) {
        NSLog(@"AuthorizationExecuteWithPrivileges() function not available on this system");
        return kFunctionNotAvailable;
    }

    AuthorizationRef authorization = NULL;
    OSStatus err = AuthorizationCreate(NULL, kAuthorizationEmptyEnvironment,
                                       kAuthorizationFlagDefaults, &authorization);
    if (err != errAuthorizationSuccess)
        return err;

    // The right names the tool that is to run with it.
    const char *toolPath = [_launchPath fileSystemRepresentation];
    AuthorizationItem item = {kAuthorizationRightExecute, toolPath ? strlen(toolPath) : 0,
                              (void *)toolPath, 0};
    AuthorizationRights rights = {1, &item};
    const AuthorizationFlags flags = kAuthorizationFlagInteractionAllowed |
                                     kAuthorizationFlagExtendRights |
                                     kAuthorizationFlagPreAuthorize;
    err = AuthorizationCopyRights(authorization, &rights, kAuthorizationEmptyEnvironment, flags,
                                  NULL);
    if (err != errAuthorizationSuccess) {
        AuthorizationFree(authorization, kAuthorizationFlagDefaults);
        return err;
    }

    err = [self launchWithAuthorization:authorization];
    AuthorizationFree(authorization, kAuthorizationFlagDefaults);
    return err;
}

- (OSStatus)launchWithAuthorization:(AuthorizationRef)authorization {
    if (_isRunning) {
        NSLog(@"Task already running: %@", [self description]);
        return 0;
    }
    if (![STPrivilegedTask authorizationFunctionAvailable]) {
        NSLog(@"AuthorizationExecuteWithPrivileges() function not available on this system");
        return kFunctionNotAvailable;
    }

    const NSUInteger count = [_arguments count];
    char **args = malloc((count + 1) * sizeof(char *));
    if (!args)
        return errAuthorizationInternal;
    NSUInteger i;
    for (i = 0; i < count; i++) {
        const char *text = [[_arguments objectAtIndex:i] fileSystemRepresentation];
        args[i] = strdup(text ? text : "");
    }
    args[count] = NULL;

    // The tool starts in the task's directory; the process's own is restored.
    char *savedDirectory = getcwd(NULL, 0);
    if (_currentDirectoryPath && chdir([_currentDirectoryPath fileSystemRepresentation]) != 0)
        NSLog(@"Cannot change to directory %@", _currentDirectoryPath);

    FILE *outputFile = NULL;
    OSStatus err = _AuthExecuteWithPrivsFn(authorization, [_launchPath fileSystemRepresentation],
                                           kAuthorizationFlagDefaults, args, &outputFile);

    if (savedDirectory) {
        if (chdir(savedDirectory) != 0)
            NSLog(@"Cannot change back to directory %s", savedDirectory);
        free(savedDirectory);
    }
    for (i = 0; i < count; i++)
        free(args[i]);
    free(args);

    // Success without an output stream leaves nothing to watch: no program
    // is known to run, so it is no completed launch.
    if (err == errAuthorizationSuccess && !outputFile) {
        NSLog(@"AuthorizationExecuteWithPrivileges() gave no output stream");
        return errAuthorizationToolExecuteFailure;
    }
    if (err == errAuthorizationSuccess) {
        _isRunning = YES;
        // The handle owns a descriptor of its own; the stream is closed here
        // so that its buffer does not leak.
        const int fd = dup(fileno(outputFile));
        [_outputFileHandle release];
        _outputFileHandle = [[NSFileHandle alloc] initWithFileDescriptor:fd closeOnDealloc:YES];
        _processIdentifier = fcntl(fd, F_GETOWN);
        fclose(outputFile);

        [_checkStatusTimer invalidate];
        [_checkStatusTimer release];
        _checkStatusTimer = [[NSTimer scheduledTimerWithTimeInterval:0.05
                                                              target:self
                                                            selector:@selector(checkTaskStatus)
                                                            userInfo:nil
                                                             repeats:YES] retain];
    }
    return err;
}

- (void)terminate {
    // Ending a program that runs as administrator is not offered.
}

- (void)waitUntilExit {
    if (!_isRunning) {
        NSLog(@"Task %@ is not running", [super description]);
        return;
    }
    [_checkStatusTimer invalidate];
    [_checkStatusTimer release];
    _checkStatusTimer = nil;

    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(_processIdentifier, &status, WNOHANG)) == 0)
        usleep(10000);
    _terminationStatus = (status >> 8) & 0xff;
    _isRunning = NO;
}

- (void)checkTaskStatus {
    int status = 0;
    const pid_t pid = waitpid(_processIdentifier, &status, WNOHANG);
    if (pid == 0)
        return;

    _isRunning = NO;
    _terminationStatus = (status >> 8) & 0xff;
    // The timer holds the task: keep it alive until the end is announced.
    [[self retain] autorelease];
    [_checkStatusTimer invalidate];
    [_checkStatusTimer release];
    _checkStatusTimer = nil;

    [[NSNotificationCenter defaultCenter]
        postNotificationName:STPrivilegedTaskDidTerminateNotification
                      object:self];
    if (_terminationHandler)
        _terminationHandler(self);
}

- (NSString *)description {
    NSMutableString *command = [NSMutableString stringWithString:_launchPath ? _launchPath : @""];
    NSEnumerator *enumerator = [_arguments objectEnumerator];
    NSString *argument;
    while ((argument = [enumerator nextObject]) != nil)
        [command appendFormat:@" '%@'", argument];
    [command appendFormat:@" (CWD:%@)", _currentDirectoryPath];
    return [[super description] stringByAppendingFormat:@" %@", command];
}

+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path {
    STPrivilegedTask *task = [[[STPrivilegedTask alloc] initWithLaunchPath:path] autorelease];
    [task launch];
    [task waitUntilExit];
    return task;
}

+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments {
    STPrivilegedTask *task = [[[STPrivilegedTask alloc] initWithLaunchPath:path
                                                                 arguments:arguments] autorelease];
    [task launch];
    [task waitUntilExit];
    return task;
}

+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments
                                          currentDirectory:(NSString *)directory {
    STPrivilegedTask *task = [[[STPrivilegedTask alloc] initWithLaunchPath:path
                                                                 arguments:arguments
                                                          currentDirectory:directory] autorelease];
    [task launch];
    [task waitUntilExit];
    return task;
}

+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments
                                          currentDirectory:(NSString *)directory
                                             authorization:(AuthorizationRef)authorization {
    STPrivilegedTask *task = [[[STPrivilegedTask alloc] initWithLaunchPath:path
                                                                 arguments:arguments
                                                          currentDirectory:directory] autorelease];
    [task launchWithAuthorization:authorization];
    [task waitUntilExit];
    return task;
}

+ (BOOL)authorizationFunctionAvailable {
    return _AuthExecuteWithPrivsFn != NULL;
}

@end
