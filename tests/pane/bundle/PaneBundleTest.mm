// Loads the built Quillmate.prefPane the way a host does (NSBundle, the
// principal class, loadMainView) and drives it through visits.  What the
// pane stores is read back by a second process (Python's plist library), and
// what it posts is seen by a third (pane_observer), so nothing here trusts
// the pane's own copy of the platform layer.
//
// Run through `host.py session`, which gives the process a private GNUstep
// domain and preference folder, inside a private session bus and display.
#import <AppKit/AppKit.h>
#import <PreferencePanes/PreferencePanes.h>

#include <gtest/gtest.h>

#include <objc/runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

NSBundle *gBundle = nil;

std::string environment(const char *name)
{
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string shellQuoted(const std::string &s)
{
  std::string out = "'";
  for (char c : s)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command and returns its output without the last newline.
std::string capture(const std::string &command)
{
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
    out += buffer;
  pclose(pipe);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

std::vector<std::string> lines(const std::string &text)
{
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string observerTool() { return environment("QUILLMATE_TEST_OBSERVER"); }

// The identifiers the pane was built with, from the option store itself.
struct Identifiers {
  std::string application, notificationObject;
};
const Identifiers &identifiers()
{
  static const Identifiers ids = [] {
    std::vector<std::string> l = lines(capture(shellQuoted(observerTool()) + " ids"));
    return Identifiers{l.size() > 0 ? l[0] : "", l.size() > 1 ? l[1] : ""};
  }();
  return ids;
}

// The stored domain as read_domain.py prints it.
std::string storedDomain()
{
  std::string file = environment("QUILLMATE_PREFERENCES_DIR") + "/" +
                     identifiers().application + ".plist";
  return capture("python3 " + shellQuoted(environment("QUILLMATE_TEST_READ_DOMAIN")) + " " +
                 shellQuoted(file));
}

// Watches the distributed center from another process.  finish() posts a
// stop notification of its own after the calls under test have returned, so
// whatever they posted is seen before it: counts need no waiting.
class Observer {
public:
  Observer()
  {
    m_pipe = popen((shellQuoted(observerTool()) + " watch " + shellQuoted(kStop)).c_str(), "r");
    m_ready = m_pipe != nullptr && readLine() == "ready";
  }
  ~Observer()
  {
    if (m_pipe != nullptr)
      finish();
  }
  bool ready() const { return m_ready; }

  // Every notification seen, the stop excluded.
  std::vector<std::string> finish()
  {
    std::vector<std::string> seen;
    if (m_pipe == nullptr)
      return seen;
    capture(shellQuoted(observerTool()) + " post " + shellQuoted(kStop));
    for (std::string line = readLine(); !line.empty(); line = readLine()) {
      if (line.rfind(kStop, 0) == 0)
        break;
      seen.push_back(line);
    }
    pclose(m_pipe);
    m_pipe = nullptr;
    return seen;
  }

private:
  static constexpr const char *kStop = "Quillmate Test Observer Stop";
  std::string readLine()
  {
    char buffer[1024];
    if (std::fgets(buffer, sizeof buffer, m_pipe) == nullptr)
      return "";
    std::string line = buffer;
    if (!line.empty() && line.back() == '\n')
      line.pop_back();
    return line;
  }
  FILE *m_pipe = nullptr;
  bool m_ready = false;
};

NSPreferencePane *makePane()
{
  return [[[[gBundle principalClass] alloc] initWithBundle:gBundle] autorelease];
}

NSPreferencePane *loadedPane()
{
  NSPreferencePane *pane = makePane();
  [pane loadMainView];
  return pane;
}

id outlet(NSPreferencePane *pane, NSString *name) { return [pane valueForKey:name]; }
NSButton *includeLineFeedBox(NSPreferencePane *pane) { return outlet(pane, @"m_includeLineFeed"); }
NSButton *openFileBox(NSPreferencePane *pane) { return outlet(pane, @"m_openFile"); }

std::string versionLine(NSPreferencePane *pane)
{
  return [[outlet(pane, @"m_versionInfoField") stringValue] UTF8String];
}

const void *applicationIDOf(NSPreferencePane *pane)
{
  Ivar ivar = class_getInstanceVariable([pane class], "m_appID");
  if (ivar == nullptr)
    return nullptr;
  return *reinterpret_cast<const void *const *>(reinterpret_cast<const char *>(pane) +
                                                ivar_getOffset(ivar));
}

std::string stringOf(id value) { return value != nil ? [[value description] UTF8String] : "(nil)"; }

const std::string kVersionLine = std::string("Quillmate ") + QUILLMATE_VERSION;
const std::string kPreferencesChanged = "Preferences Changed";

} // namespace

TEST(PaneBundleTest, InformationDictionaryNamesThePaneAndItsResources)
{
  Class principal = [gBundle principalClass];
  ASSERT_NE(principal, Nil);
  EXPECT_STREQ(class_getName(principal), "QuillmatePrefPane");
  EXPECT_TRUE([principal isSubclassOfClass:[NSPreferencePane class]]);

  EXPECT_EQ(stringOf([gBundle objectForInfoDictionaryKey:@"CFBundleName"]), "Quillmate");
  EXPECT_EQ(stringOf([gBundle objectForInfoDictionaryKey:@"CFBundleShortVersionString"]),
            QUILLMATE_VERSION);
  EXPECT_EQ(stringOf([gBundle objectForInfoDictionaryKey:@"NSPrefPaneIconLabel"]), "Quillmate");
  NSString *icon = [gBundle objectForInfoDictionaryKey:@"NSPrefPaneIconFile"];
  ASSERT_NE(icon, nil);
  NSString *iconPath = [gBundle pathForImageResource:icon];
  ASSERT_NE(iconPath, nil) << stringOf(icon) << " is not in the bundle";
  NSImage *image = [[[NSImage alloc] initWithContentsOfFile:iconPath] autorelease];
  ASSERT_NE(image, nil);
  EXPECT_GE([image size].width, 32);
}

TEST(PaneBundleTest, MainViewConnectsOutletsActionsAndReadableFonts)
{
  // The four instance variables, in their documented order, after the base's.
  Class paneClass = [gBundle principalClass];
  unsigned int count = 0;
  Ivar *ivars = class_copyIvarList(paneClass, &count);
  std::vector<std::string> names;
  for (unsigned int i = 0; i < count; ++i)
    names.push_back(ivar_getName(ivars[i]));
  std::free(ivars);
  EXPECT_EQ(names, (std::vector<std::string>{"m_appID", "m_versionInfoField",
                                              "m_includeLineFeed", "m_openFile"}));

  NSPreferencePane *pane = makePane();
  EXPECT_EQ(applicationIDOf(pane), nullptr) << "set before mainViewDidLoad";
  ASSERT_NE([pane loadMainView], nil);
  EXPECT_NE(applicationIDOf(pane), nullptr) << "mainViewDidLoad did not set m_appID";

  id field = outlet(pane, @"m_versionInfoField");
  NSButton *includeLineFeed = includeLineFeedBox(pane);
  NSButton *openFile = openFileBox(pane);
  ASSERT_TRUE([field isKindOfClass:[NSTextField class]]);
  ASSERT_TRUE([includeLineFeed isKindOfClass:[NSButton class]]);
  ASSERT_TRUE([openFile isKindOfClass:[NSButton class]]);
  EXPECT_NE(includeLineFeed, openFile);
  for (NSView *control : {static_cast<NSView *>(field), static_cast<NSView *>(includeLineFeed),
                          static_cast<NSView *>(openFile)})
    EXPECT_TRUE([control isDescendantOf:[pane mainView]]);

  EXPECT_EQ([includeLineFeed target], pane);
  EXPECT_EQ([openFile target], pane);
  EXPECT_TRUE(sel_isEqual([includeLineFeed action], @selector(includeLineFeedClicked:)));
  EXPECT_TRUE(sel_isEqual([openFile action], @selector(openFileClicked:)));
  EXPECT_GT([[includeLineFeed title] length], 0u);
  EXPECT_GT([[openFile title] length], 0u);

  // The host's nib loader decodes fonts with nonsense sizes; a control left
  // with one draws no text.
  for (NSControl *control : {static_cast<NSControl *>(field), static_cast<NSControl *>(includeLineFeed),
                             static_cast<NSControl *>(openFile)}) {
    CGFloat size = [[control font] pointSize];
    EXPECT_GE(size, 6) << stringOf(control);
    EXPECT_LE(size, 100) << stringOf(control);
  }
}

TEST(PaneBundleTest, VisitsShowStoreAndAnnounceTheOptions)
{
  ASSERT_FALSE(identifiers().application.empty());
  Observer observer;
  ASSERT_TRUE(observer.ready());

  NSPreferencePane *pane = loadedPane();
  NSButton *includeLineFeed = includeLineFeedBox(pane);
  NSButton *openFile = openFileBox(pane);
  // The nib's own states must not decide what a visit shows.
  [includeLineFeed setState:NSOffState];
  [openFile setState:NSOffState];

  {
    SCOPED_TRACE("first visit, empty domain");
    [pane willSelect];
    EXPECT_EQ(versionLine(pane), kVersionLine);
    EXPECT_EQ([includeLineFeed state], NSOnState);
    EXPECT_EQ([openFile state], NSOnState);
    EXPECT_EQ(storedDomain(), "{}") << "showing the defaults wrote them";
  }
  {
    SCOPED_TRACE("a click stores at once");
    [openFile performClick:nil];
    EXPECT_EQ([openFile state], NSOffState);
    EXPECT_EQ(storedDomain(), R"({"OpenFile": ["bool", false]})");
    [pane didUnselect];
  }
  {
    SCOPED_TRACE("second visit shows what is stored");
    [openFile setState:NSOnState];
    [pane willSelect];
    EXPECT_EQ(versionLine(pane), kVersionLine);
    EXPECT_EQ([includeLineFeed state], NSOnState);
    EXPECT_EQ([openFile state], NSOffState);
    NSPreferencePane *another = loadedPane();
    [another willSelect];
    EXPECT_EQ([openFileBox(another) state], NSOffState);
    EXPECT_EQ([includeLineFeedBox(another) state], NSOnState);
    [pane didUnselect];
  }

  std::vector<std::string> seen = observer.finish();
  const std::string expected =
      kPreferencesChanged + "\t" + identifiers().notificationObject + "\tno-user-info";
  EXPECT_EQ(seen, (std::vector<std::string>{expected, expected}))
      << "one notification per didUnselect, none for clicks or willSelect";
  EXPECT_EQ(std::count(identifiers().notificationObject.begin(),
                       identifiers().notificationObject.end(), '.'),
            3);
  EXPECT_EQ(storedDomain(), R"({"OpenFile": ["bool", false]})");

  {
    SCOPED_TRACE("turning it back on stores true, not a removal");
    [openFile performClick:nil];
    EXPECT_EQ([openFile state], NSOnState);
    EXPECT_EQ(storedDomain(), R"({"OpenFile": ["bool", true]})");
  }
}

TEST(PaneBundleTest, ActionsReadTheirOwnBoxAndCountMixedAsOn)
{
  NSPreferencePane *pane = loadedPane();
  [pane willSelect];
  NSButton *includeLineFeed = includeLineFeedBox(pane);
  NSButton *openFile = openFileBox(pane);
  NSButton *stranger = [[[NSButton alloc] init] autorelease];

  [includeLineFeed setAllowsMixedState:YES];
  [includeLineFeed setState:NSMixedState];
  [stranger setState:NSOffState];
  [pane performSelector:@selector(includeLineFeedClicked:) withObject:stranger];
  std::string domain = storedDomain();
  EXPECT_NE(domain.find(R"("IncludeLineFeed": ["bool", true])"), std::string::npos) << domain;

  [openFile setState:NSOffState];
  [stranger setState:NSOnState];
  [pane performSelector:@selector(openFileClicked:) withObject:stranger];
  domain = storedDomain();
  EXPECT_NE(domain.find(R"("OpenFile": ["bool", false])"), std::string::npos) << domain;
}

// System Preferences quits without calling didUnselect; the nib's quit
// watcher makes the call, but only while the pane's view is on screen.
TEST(PaneBundleTest, QuittingAnnouncesOnlyWhileThePaneIsShown)
{
  Observer observer;
  ASSERT_TRUE(observer.ready());
  NSPreferencePane *pane = loadedPane();
  [pane willSelect];
  NSNotificationCenter *center = [NSNotificationCenter defaultCenter];

  // Every pane loaded so far is alive and off screen: none may post.
  [center postNotificationName:NSApplicationWillTerminateNotification object:NSApp];

  NSWindow *window = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 480, 200)
                                                 styleMask:NSTitledWindowMask
                                                   backing:NSBackingStoreBuffered
                                                     defer:YES];
  [[window contentView] addSubview:[pane mainView]];
  [center postNotificationName:NSApplicationWillTerminateNotification object:NSApp];
  [[pane mainView] removeFromSuperview];
  [window release];

  const std::string expected =
      kPreferencesChanged + "\t" + identifiers().notificationObject + "\tno-user-info";
  EXPECT_EQ(observer.finish(), (std::vector<std::string>{expected}));
}

int main(int argc, char **argv)
{
  NSAutoreleasePool *pool = [NSAutoreleasePool new];
  ::testing::InitGoogleTest(&argc, argv);
  std::string bundlePath = environment("QUILLMATE_TEST_BUNDLE");
  if (bundlePath.empty() || observerTool().empty() ||
      environment("QUILLMATE_PREFERENCES_DIR").empty()) {
    std::fprintf(stderr, "run through host.py session with QUILLMATE_TEST_BUNDLE and "
                         "QUILLMATE_TEST_OBSERVER set\n");
    return 2;
  }
  [NSApplication sharedApplication];
  gBundle = [NSBundle bundleWithPath:[NSString stringWithUTF8String:bundlePath.c_str()]];
  if (gBundle == nil || ![gBundle load]) {
    std::fprintf(stderr, "cannot load %s\n", bundlePath.c_str());
    return 2;
  }
  int status = RUN_ALL_TESTS();
  [pool release];
  return status;
}
