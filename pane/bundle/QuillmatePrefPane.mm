// The pane's life cycle and actions, each a call or two into OptionStore.
// Nothing here looks at results or tells the user anything: a failed write
// leaves the box as clicked, and the next visit shows what is stored.
#import "QuillmatePrefPane.h"

#include "pane/OptionStore.h"

@implementation QuillmatePrefPane

- (void)mainViewDidLoad
{
  m_appID = kQuillmateApplicationID;
}

- (void)willSelect
{
  // Rebuilt on every visit; nothing is cached between visits.
  id version = [[self bundle] objectForInfoDictionaryKey:@"CFBundleShortVersionString"];
  id name = [[self bundle] objectForInfoDictionaryKey:@"CFBundleName"];
  [m_versionInfoField setStringValue:[NSString stringWithFormat:@"%@ %@", name, version]];

  const OptionStore store(m_appID);
  [m_includeLineFeed setState:store.readOption(kIncludeLineFeedKey) ? 1 : 0];
  [m_openFile setState:store.readOption(kOpenFileKey) ? 1 : 0];
}

- (void)didUnselect
{
  OptionStore(m_appID).announceChange();
}

// The actions read their own outlet, not the sender.  Any state but off
// (a mixed state included) stores on.
- (IBAction)includeLineFeedClicked:(id)sender
{
  (void)sender;
  OptionStore(m_appID).writeOption(kIncludeLineFeedKey, [m_includeLineFeed state] != 0);
}

- (IBAction)openFileClicked:(id)sender
{
  (void)sender;
  OptionStore(m_appID).writeOption(kOpenFileKey, [m_openFile state] != 0);
}

@end
