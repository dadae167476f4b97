// Hands control to the application main loop, which loads the window from
// the application's interface resource.
#import <AppKit/AppKit.h>

int main(int argc, const char *argv[]) { return NSApplicationMain(argc, argv); }
