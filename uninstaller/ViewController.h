#import <AppKit/AppKit.h>

@interface ViewController : NSViewController
- (void)viewDidLoad;
- (IBAction)uninstallClicked:(id)sender;
- (IBAction)quitClicked:(id)sender;
@end

// The AppleScript statement that removes the installation: run by osascript
// with "-e" in front of it. Exposed for the tests.
NSString *CVLRemovalStatement(void);
