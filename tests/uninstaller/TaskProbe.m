// Runs one scenario of STPrivilegedTask, named by the first argument, and
// prints what it saw, one "name: value" line each, for TaskTest.cpp.
#import <Foundation/Foundation.h>

#import "STPrivilegedTask.h"

#include <stdio.h>
#include <string.h>

NSString *CVLRemovalStatement(void);

static int g_events = 0;
static char g_order[64] = "";

static void Print(NSString *name, NSString *value) {
    printf("%s: %s\n", [name UTF8String], [value UTF8String]);
    fflush(stdout);
}

static void Handler(STPrivilegedTask *task) {
    (void)task;
    strcat(g_order, "handler ");
    ++g_events;
}

@interface Observer : NSObject
- (void)taskEnded:(NSNotification *)notification;
@end

@implementation Observer
- (void)taskEnded:(NSNotification *)notification {
    (void)notification;
    strcat(g_order, "notification ");
    ++g_events;
}
@end

static void RunTask(STPrivilegedTask *task, BOOL useTimer) {
    Observer *observer = [[Observer alloc] init];
    [[NSNotificationCenter defaultCenter] addObserver:observer
                                             selector:@selector(taskEnded:)
                                                 name:STPrivilegedTaskDidTerminateNotification
                                               object:task];
    [task setTerminationHandler:Handler];
    Print(@"status", [NSString stringWithFormat:@"%d", (int)[task launch]]);
    Print(@"running", [task isRunning] ? @"yes" : @"no");
    const int pid = [task processIdentifier];
    [task terminate];
    Print(@"after terminate",
          [NSString stringWithFormat:@"%@ %d", [task isRunning] ? @"yes" : @"no",
                                     (int)([task processIdentifier] == pid)]);
    if (useTimer) {
        NSDate *deadline = [NSDate dateWithTimeIntervalSinceNow:20];
        while (g_events<2 && [deadline timeIntervalSinceNow]> 0)
            [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                                     beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.1]];
    } else {
        [task waitUntilExit];
    }
    NSString *output = [[[NSString alloc] initWithData:[[task outputFileHandle] readDataToEndOfFile]
                                              encoding:NSUTF8StringEncoding] autorelease];
    Print(@"output", output ? output : @"");
    Print(@"ended", [NSString stringWithFormat:@"%@ %d", [task isRunning] ? @"running" : @"idle",
                                               (int)[task terminationStatus]]);
    Print(@"events", [NSString stringWithFormat:@"%s", g_order]);
    [[NSNotificationCenter defaultCenter] removeObserver:observer];
    [observer release];
}

int main(int argc, const char *argv[]) {
    NSAutoreleasePool *pool = [[NSAutoreleasePool alloc] init];
    const char *scenario = argc > 1 ? argv[1] : "";
    NSArray *rest = [[[NSProcessInfo processInfo] arguments]
        subarrayWithRange:argc > 3 ? NSMakeRange(3, argc - 3) : NSMakeRange(0, 0)];
    NSString *path = argc > 2 ? [NSString stringWithUTF8String:argv[2]] : @"/bin/true";

    STPrivilegedTask *task = [[[STPrivilegedTask alloc] initWithLaunchPath:path] autorelease];
    if ([rest count] > 0)
        [task setArguments:rest];
    Print(@"available", [STPrivilegedTask authorizationFunctionAvailable] ? @"yes" : @"no");
    Print(@"description", [task description]);

    if (strcmp(scenario, "wait") == 0) {
        RunTask(task, NO);
    } else if (strcmp(scenario, "timer") == 0) {
        RunTask(task, YES);
    } else if (strcmp(scenario, "launch") == 0) {
        Print(@"status", [NSString stringWithFormat:@"%d", (int)[task launch]]);
        Print(@"running", [task isRunning] ? @"yes" : @"no");
        [task waitUntilExit];
    } else if (strcmp(scenario, "strings") == 0) {
        // The texts behind the keys that follow, looked up as the
        // application does, in the default table of the bundle at path.
        NSBundle *bundle = [NSBundle bundleWithPath:path];
        NSEnumerator *keys = [rest objectEnumerator];
        NSString *key;
        while ((key = [keys nextObject]) != nil)
            Print(key, [bundle localizedStringForKey:key value:@"" table:nil]);
    } else if (strcmp(scenario, "statement") == 0) {
        Print(@"statement", CVLRemovalStatement());
    }
    [pool release];
    return 0;
}
