// Runs one program with administrator rights and tracks it until it ends.
#import <Foundation/Foundation.h>
#include <Security/Authorization.h>

extern NSString *const STPrivilegedTaskDidTerminateNotification;

@class STPrivilegedTask;

// Called with the task when the status timer sees the program end.
typedef void (*STPrivilegedTaskTerminationHandler)(STPrivilegedTask *task);

@interface STPrivilegedTask : NSObject {
    NSTimer *_checkStatusTimer;
    BOOL _isRunning;
    int32_t _processIdentifier;
    int32_t _terminationStatus;
    NSArray *_arguments;
    NSString *_currentDirectoryPath;
    NSString *_launchPath;
    NSFileHandle *_outputFileHandle;
    STPrivilegedTaskTerminationHandler _terminationHandler;
}

@property(copy) NSArray *arguments;
@property(copy) NSString *currentDirectoryPath;
@property(copy) NSString *launchPath;
@property(readonly) NSFileHandle *outputFileHandle;
@property(readonly) BOOL isRunning;
@property(readonly) int32_t processIdentifier;
@property(readonly) int32_t terminationStatus;
@property(assign) STPrivilegedTaskTerminationHandler terminationHandler;

- (id)init;
- (id)initWithLaunchPath:(NSString *)path;
- (id)initWithLaunchPath:(NSString *)path arguments:(NSArray *)arguments;
- (id)initWithLaunchPath:(NSString *)path
               arguments:(NSArray *)arguments
        currentDirectory:(NSString *)directory;
- (OSStatus)launch;
- (OSStatus)launchWithAuthorization:(AuthorizationRef)authorization;
- (void)terminate;
- (void)waitUntilExit;
- (void)checkTaskStatus;
- (NSString *)description;

+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path;
+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments;
+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments
                                          currentDirectory:(NSString *)directory;
+ (STPrivilegedTask *)launchedPrivilegedTaskWithLaunchPath:(NSString *)path
                                                 arguments:(NSArray *)arguments
                                          currentDirectory:(NSString *)directory
                                             authorization:(AuthorizationRef)authorization;
+ (BOOL)authorizationFunctionAvailable;

@end
