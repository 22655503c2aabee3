// An object of the main nib that stands in for the host when it quits with
// the pane shown (see QuillmateQuitWatcher.mm).
#import <AppKit/AppKit.h>
#import <PreferencePanes/PreferencePanes.h>

@interface QuillmateQuitWatcher : NSObject
{
  // The nib's owner: the pane.  Not retained; the pane outlives its nib.
  IBOutlet NSPreferencePane *pane;
}
@end
