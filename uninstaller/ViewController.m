#import "ViewController.h"

#import "STPrivilegedTask.h"

#include "CVLPaths.h"

#include <stdio.h>
#include <string.h>

// Not every AppKit has viewDidLoad; where the base class lacks it there is
// nothing to forward to.
@interface NSViewController (CVLViewLoading)
- (void)viewDidLoad;
@end

static const OSStatus kPromptCancelled = -60006;
static const NSInteger kConfirmCancelResponse = NSAlertFirstButtonReturn;

static void WriteLine(NSString *line) {
    printf("%s\n", [line UTF8String]);
    fflush(stdout);
}

static NSString *Localized(NSString *key) {
    return [[NSBundle mainBundle] localizedStringForKey:key value:@"" table:nil];
}

static NSString *Resolved(const char *path) {
    return [NSString stringWithUTF8String:CVLResolvePath(path)];
}

// A path as one shell word: as it is when every character is plain, else
// in single quotes with each of its own single quotes written '\''.
static NSString *ShellQuoted(NSString *path) {
    NSString *escaped = [path stringByReplacingOccurrencesOfString:@"'" withString:@"'\\''"];
    return [NSString stringWithFormat:@"'%@'", escaped];
}

static NSString *ShellWord(NSString *path) {
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789/._-+,:@%";
    const char *bytes = [path UTF8String];
    if (bytes[0] != '\0' && strspn(bytes, kPlain) == strlen(bytes))
        return path;
    return ShellQuoted(path);
}

NSString *CVLRemovalStatement(void) {
    // Each path is one word of the shell command whatever the installation
    // root holds; the application folder is always quoted.
    NSString *command = [NSString stringWithFormat:@"rm -rf %@ ; rm -rf %@ ; rm -rf %@; rm -rf %@",
                                                   ShellWord(Resolved(CVL_PATH_FRAMEWORK)),
                                                   ShellWord(Resolved(CVL_PATH_PLUGIN)),
                                                   ShellWord(Resolved(CVL_PATH_LAUNCH_AGENT)),
                                                   ShellQuoted(Resolved(CVL_PATH_APPLICATION))];
    // The command is an AppleScript string: a backslash or double quote in an
    // installation root must not end it early.
    NSMutableString *quoted = [NSMutableString stringWithString:command];
    [quoted replaceOccurrencesOfString:@"\\"
                            withString:@"\\\\"
                               options:0
                                 range:NSMakeRange(0, [quoted length])];
    [quoted replaceOccurrencesOfString:@"\""
                            withString:@"\\\""
                               options:0
                                 range:NSMakeRange(0, [quoted length])];
    return
        [NSString stringWithFormat:@"do shell script \"%@\" with administrator privileges", quoted];
}

@interface ViewController ()
- (NSAlert *)alertWithKeys:(NSString *)prefix buttons:(NSArray *)buttonKeys;
- (void)showAlert:(NSAlert *)alert didEndSelector:(SEL)selector;
- (void)removeInstallation;
@end

@implementation ViewController

- (void)viewDidLoad {
    if ([NSViewController instancesRespondToSelector:@selector(viewDidLoad)])
        [super viewDidLoad];
}

- (id)representedObject {
    return [super representedObject];
}

- (void)setRepresentedObject:(id)representedObject {
    [super setRepresentedObject:representedObject];
}

- (NSAlert *)alertWithKeys:(NSString *)prefix buttons:(NSArray *)buttonKeys {
    NSAlert *alert = [[[NSAlert alloc] init] autorelease];
    [alert setAlertStyle:NSCriticalAlertStyle];
    [alert setMessageText:Localized([prefix stringByAppendingString:@".title"])];
    [alert setInformativeText:Localized([prefix stringByAppendingString:@".text"])];
    NSEnumerator *keys = [buttonKeys objectEnumerator];
    NSString *key;
    while ((key = [keys nextObject]) != nil)
        [alert addButtonWithTitle:Localized(key)];
    return alert;
}

- (void)showAlert:(NSAlert *)alert didEndSelector:(SEL)selector {
    [alert beginSheetModalForWindow:[[self view] window]
                      modalDelegate:self
                     didEndSelector:selector
                        contextInfo:NULL];
}

- (IBAction)uninstallClicked:(id)sender {
    (void)sender;
    NSAlert *alert =
        [self alertWithKeys:@"confirm"
                    buttons:[NSArray arrayWithObjects:@"confirm.cancel", @"confirm.ok", nil]];
    [self showAlert:alert didEndSelector:@selector(confirmationDidEnd:returnCode:contextInfo:)];
}

- (IBAction)quitClicked:(id)sender {
    (void)sender;
    [NSApp terminate:self];
}

- (void)confirmationDidEnd:(NSAlert *)alert
                returnCode:(NSInteger)returnCode
               contextInfo:(void *)contextInfo {
    (void)contextInfo;
    if (returnCode == kConfirmCancelResponse) {
        WriteLine(@"User canceled uninstallation!");
        return;
    }
    WriteLine(@"Start uninstallation");
    // The next sheet needs the window free of this one.
    [[alert window] orderOut:self];
    [self removeInstallation];
}

- (void)removeInstallation {
    STPrivilegedTask *task = [[STPrivilegedTask alloc] init];
    [task setLaunchPath:Resolved(CVL_PATH_OSASCRIPT)];
    [task setArguments:[NSArray arrayWithObjects:@"-e", CVLRemovalStatement(), nil]];
    const OSStatus status = [task launch];
    WriteLine([NSString stringWithFormat:@"Status: %d", (int)status]);
    [task waitUntilExit];
    [task release];

    if (status == kPromptCancelled) {
        [self showAlert:[self alertWithKeys:@"cancelled"
                                    buttons:[NSArray arrayWithObject:@"cancelled.ok"]]
            didEndSelector:@selector(resultDidEnd:returnCode:contextInfo:)];
    } else if (status != 0) {
        [self showAlert:[self alertWithKeys:@"error" buttons:[NSArray arrayWithObject:@"error.ok"]]
            didEndSelector:@selector(resultDidEnd:returnCode:contextInfo:)];
    } else {
        [self showAlert:[self alertWithKeys:@"complete"
                                    buttons:[NSArray arrayWithObject:@"complete.ok"]]
            didEndSelector:@selector(completionDidEnd:returnCode:contextInfo:)];
    }
}

- (void)completionDidEnd:(NSAlert *)alert
              returnCode:(NSInteger)returnCode
             contextInfo:(void *)contextInfo {
    (void)alert;
    (void)returnCode;
    (void)contextInfo;
    [NSApp terminate:self];
}

- (void)resultDidEnd:(NSAlert *)alert
          returnCode:(NSInteger)returnCode
         contextInfo:(void *)contextInfo {
    (void)returnCode;
    (void)contextInfo;
    [[alert window] orderOut:self];
}

@end
