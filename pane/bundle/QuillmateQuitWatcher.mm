// Host work-around.  GNUstep's System Preferences (1.2) quits without calling
// didUnselect on the pane it shows, so a user who changes an option and quits
// would leave every listener unaware of the change.  Leaving the pane by
// quitting is still leaving it: when the application is about to terminate
// with the pane's view on screen, this object makes the call the host leaves
// out.  The view is in a window exactly while the host shows the pane; after
// "Show All", or in a host that did call didUnselect and took the view away,
// nothing is done, so no exit is announced twice.
#import "QuillmateQuitWatcher.h"

@implementation QuillmateQuitWatcher

- (void)awakeFromNib
{
  [[NSNotificationCenter defaultCenter] addObserver:self
                                           selector:@selector(applicationWillTerminate:)
                                               name:NSApplicationWillTerminateNotification
                                             object:nil];
}

- (void)applicationWillTerminate:(NSNotification *)notification
{
  (void)notification;
  if ([[pane mainView] window] != nil)
    [pane didUnselect];
}

- (void)dealloc
{
  [[NSNotificationCenter defaultCenter] removeObserver:self];
  [super dealloc];
}

@end
