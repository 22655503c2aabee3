// The bundle's principal class: one line with the product's name and version
// and a check box for each option.  It only turns the host's life-cycle calls
// and the boxes' clicks into calls of the option store.
#import <PreferencePanes/PreferencePanes.h>
#import <AppKit/AppKit.h>

#include <CoreFoundation/CoreFoundation.h>

@interface QuillmatePrefPane : NSPreferencePane
{
  // None of these is owned: the identifier is a compile-time constant and
  // the controls belong to the main view loaded from the nib.
  CFStringRef m_appID;
  IBOutlet NSTextField *m_versionInfoField;
  IBOutlet NSButton *m_includeLineFeed;
  IBOutlet NSButton *m_openFile;
}

- (void)mainViewDidLoad;
- (void)willSelect;
- (void)didUnselect;

- (IBAction)includeLineFeedClicked:(id)sender;
- (IBAction)openFileClicked:(id)sender;

@end
