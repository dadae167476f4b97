#import "AppDelegate.h"

@implementation AppDelegate

- (void)applicationDidFinishLaunching:(NSNotification *)notification {
    (void)notification;
}

- (void)applicationWillTerminate:(NSNotification *)notification {
    (void)notification;
}

@end
