// The distributed center between processes, on a private bus: another
// process (notification_peer, driven through its standard input), dbus-monitor
// as an outside listener, a forked child, and a bus that is absent, wedged or
// restarted.
#include <CoreFoundation/CoreFoundation.h>

#include "tests/platform/cf/notify/PrivateBus.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using quillmate::testing::PrivateBus;
using quillmate::testing::readLine;
using quillmate::testing::spawnWithOutput;

std::string text(CFStringRef s) {
  if (!s) return "-";
  char buffer[512];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "?";
}

struct Recorder {
  std::vector<std::string> seen;
  static void callback(CFNotificationCenterRef, void* observer, CFNotificationName name,
                       const void* object, CFDictionaryRef userInfo) {
    static_cast<Recorder*>(observer)->seen.push_back(
        text(name) + "/" + text(static_cast<CFStringRef>(object)) + (userInfo ? "/info" : ""));
  }
  void observe(CFStringRef name) {
    CFNotificationCenterAddObserver(CFNotificationCenterGetDistributedCenter(), this, callback,
                                    name, nullptr, CFNotificationSuspensionBehaviorHold);
  }
  bool runUntil(std::size_t count) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.size() < count && std::chrono::steady_clock::now() < giveUp)
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
    return seen.size() >= count;
  }
};

void post(CFStringRef name, CFStringRef object, bool immediate) {
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), name, object,
                                       nullptr, immediate);
}

// The peer process, one command a line (see NotificationPeer.cpp).
class Peer {
 public:
  Peer() {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(NOTIFICATION_PEER_PATH), nullptr};
    if (posix_spawn(&pid_, NOTIFICATION_PEER_PATH, &actions, nullptr, argv, environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
  }
  ~Peer() {
    command("quit");
    close(in_);
    close(out_);
    int status;
    if (pid_ > 0) waitpid(pid_, &status, 0);
  }

  bool command(const std::string& line) {
    std::string withNewline = line + "\n";
    return write(in_, withNewline.data(), withNewline.size()) == ssize_t(withNewline.size());
  }
  std::string reply() {
    std::string line;
    return readLine(out_, line) ? line : "(end of output)";
  }
  // Runs the peer's loop until it sees `name`; returns what it printed.
  std::vector<std::string> until(const std::string& name) {
    command("until\t" + name + "\t20");
    std::vector<std::string> lines;
    for (;;) {
      std::string line = reply();
      if (line == "done" || line == "timeout" || line == "(end of output)") {
        if (line != "done") lines.push_back(line);
        return lines;
      }
      lines.push_back(line);
    }
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
};

class NotificationCrossProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bus.running()) << "dbus-daemon did not start"; }
  PrivateBus bus;
};

TEST_F(NotificationCrossProcessTest, PostReachesObserverInAnotherProcess) {
  Peer peer;
  ASSERT_TRUE(peer.command("observe\tPreferences Changed\t-\t4"));
  ASSERT_EQ(peer.reply(), "ok");
  ASSERT_TRUE(peer.command("observe\tend\t-\t4"));
  ASSERT_EQ(peer.reply(), "ok");
  post(CFSTR("Preferences Changed"), CFSTR("com.quillworks.preference.quillmate"), true);
  post(CFSTR("Unrelated"), CFSTR("com.quillworks.preference.quillmate"), true);
  post(CFSTR("end"), nullptr, true);
  EXPECT_EQ(peer.until("end"),
            (std::vector<std::string>{
                "note\tPreferences Changed\tcom.quillworks.preference.quillmate\tnull",
                "note\tend\t-\tnull"}));
}

TEST_F(NotificationCrossProcessTest, PostFromAnotherProcessReachesUs) {
  Recorder r;
  r.observe(CFSTR("from peer"));
  Peer peer;
  ASSERT_TRUE(peer.command("post\tfrom peer\tthe object\t0"));
  ASSERT_EQ(peer.reply(), "ok");
  ASSERT_TRUE(r.runUntil(1));
  EXPECT_EQ(r.seen, std::vector<std::string>{"from peer/the object"});
}

TEST_F(NotificationCrossProcessTest, SuspendedObserverGetsImmediatePostsAtOnceAndKeepsOrDropsTheRest) {
  Peer peer;
  for (const char* line : {"observe\theld\t-\t3", "observe\tdropped\t-\t1",
                           "observe\tcoalesced\t-\t2", "observe\turgent\t-\t1",
                           "observe\tend\t-\t4", "suspend"}) {
    ASSERT_TRUE(peer.command(line));
    ASSERT_EQ(peer.reply(), "ok") << line;
  }
  post(CFSTR("held"), CFSTR("1"), false);
  post(CFSTR("dropped"), CFSTR("1"), false);
  post(CFSTR("coalesced"), CFSTR("x"), false);
  post(CFSTR("held"), CFSTR("2"), false);
  post(CFSTR("coalesced"), CFSTR("x"), false);
  // The urgent observer drops while suspended, but this post says "at once".
  post(CFSTR("urgent"), CFSTR("now"), true);
  EXPECT_EQ(peer.until("urgent"), std::vector<std::string>{"note\turgent\tnow\tnull"});

  ASSERT_TRUE(peer.command("resume"));
  ASSERT_EQ(peer.reply(), "ok");
  post(CFSTR("end"), nullptr, false);
  EXPECT_EQ(peer.until("end"),
            (std::vector<std::string>{"note\theld\t1\tnull", "note\theld\t2\tnull",
                                      "note\tcoalesced\tx\tnull", "note\tend\t-\tnull"}));
}

TEST_F(NotificationCrossProcessTest, DbusMonitorSeesTheDocumentedSignal) {
  int out = -1;
  pid_t monitor = spawnWithOutput(
      {"dbus-monitor", "--address", bus.address(),
       "type='signal',interface='com.quillworks.DistributedNotification'"},
      out, /*quiet=*/true);
  ASSERT_GT(monitor, 0);

  // dbus-monitor says nothing when it is ready, so post a probe until it
  // prints one, then the post under test.
  std::vector<std::string> lines;
  std::string line;
  bool probeSeen = false;
  int flags = fcntl(out, F_GETFL);
  fcntl(out, F_SETFL, flags | O_NONBLOCK);
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!probeSeen && std::chrono::steady_clock::now() < giveUp) {
    post(CFSTR("probe"), nullptr, false);
    pollfd fd{out, POLLIN, 0};
    poll(&fd, 1, 100);
    char buffer[4096];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) > 0) line.append(buffer, std::size_t(n));
    probeSeen = line.find("string \"probe\"") != std::string::npos;
  }
  ASSERT_TRUE(probeSeen) << line;
  fcntl(out, F_SETFL, flags);

  post(CFSTR("Preferences Changed"), CFSTR("com.quillworks.preference.quillmate"), true);
  // Skip to the signal of the post under test, then take its body.
  std::string l;
  while (readLine(out, l) && l.find("string \"Preferences Changed\"") == std::string::npos) {
    if (l.rfind("signal ", 0) == 0) lines.assign(1, l);
  }
  std::string header = lines.empty() ? "" : lines.front();
  std::vector<std::string> body;
  for (int i = 0; i < 4 && readLine(out, l); ++i) body.push_back(l);
  kill(monitor, SIGTERM);
  int status;
  waitpid(monitor, &status, 0);
  close(out);

  EXPECT_NE(header.find("path=/com/quillworks/DistributedNotification;"), std::string::npos)
      << header;
  EXPECT_NE(header.find("interface=com.quillworks.DistributedNotification;"), std::string::npos);
  EXPECT_NE(header.find("member=Posted"), std::string::npos);
  ASSERT_EQ(body.size(), 4u);
  EXPECT_EQ(body[0], "   string \"com.quillworks.preference.quillmate\"");
  EXPECT_EQ(body[1], "   boolean true");
  EXPECT_EQ(body[2], "   array [");
  EXPECT_EQ(body[3], "   ]");
}

TEST_F(NotificationCrossProcessTest, ForkedChildPostsOnAConnectionOfItsOwn) {
  Recorder r;
  r.observe(CFSTR("from child"));  // this process's connection is open now
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    post(CFSTR("from child"), CFSTR("forked"), true);
    _exit(0);
  }
  int status;
  waitpid(child, &status, 0);
  ASSERT_TRUE(r.runUntil(1));
  EXPECT_EQ(r.seen, std::vector<std::string>{"from child/forked"});
  post(CFSTR("from child"), CFSTR("parent"), true);  // the parent's connection still works
  ASSERT_TRUE(r.runUntil(2));
  EXPECT_EQ(r.seen.back(), "from child/parent");
}

TEST_F(NotificationCrossProcessTest, ObserversSurviveABusRestart) {
  Recorder r;
  r.observe(CFSTR("again"));
  post(CFSTR("again"), CFSTR("first"), true);
  ASSERT_TRUE(r.runUntil(1));

  bus.stop();
  PrivateBus second(/*forgetCenter=*/false);  // named by the environment now
  ASSERT_TRUE(second.running());
  // The post notices the closed connection, opens one to the new bus and
  // installs the observer's rule there again before sending.
  post(CFSTR("again"), CFSTR("second"), true);
  ASSERT_TRUE(r.runUntil(2));
  EXPECT_EQ(r.seen.back(), "again/second");
}

TEST_F(NotificationCrossProcessTest, ObserverAddedBeforeTheBusExistsIsServedOnceItDoes) {
  std::string address = bus.address();
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmate/bus", 1);
  quillmate::notify::resetDistributedCenterForTesting();
  Recorder r;
  r.observe(CFSTR("late"));
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  post(CFSTR("late"), CFSTR("bus"), true);  // opens the connection, with the rule
  ASSERT_TRUE(r.runUntil(1));
  EXPECT_EQ(r.seen, std::vector<std::string>{"late/bus"});
}

class NoBusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    quillmate::notify::resetDistributedCenterForTesting();
  }

  // Posts, observes and runs with whatever bus the environment names; all of
  // it must return, print nothing and deliver nothing.
  void expectQuietNothing() {
    quillmate::notify::resetDistributedCenterForTesting();
    Recorder r;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    post(CFSTR("Preferences Changed"), CFSTR("com.quillworks.preference.quillmate"), true);
    r.observe(CFSTR("Preferences Changed"));
    post(CFSTR("Preferences Changed"), nullptr, false);
    CFRunLoopRunResult result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(result, kCFRunLoopRunTimedOut);
    EXPECT_TRUE(r.seen.empty());
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), &r);
  }
};

TEST_F(NoBusTest, NoAddressAnywhere) {
  char dir[] = "/tmp/quillmate-nobus-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  std::string saved = runtime ? runtime : "";
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("XDG_RUNTIME_DIR", dir, 1);
  expectQuietNothing();
  if (runtime)
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
  rmdir(dir);
}

TEST_F(NoBusTest, AddressOfABusThatIsGone) {
  std::string address;
  {
    PrivateBus gone;
    ASSERT_TRUE(gone.running());
    address = gone.address();
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  expectQuietNothing();
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmate/bus", 1);
  expectQuietNothing();
  setenv("DBUS_SESSION_BUS_ADDRESS", "not an address", 1);
  expectQuietNothing();
}

TEST_F(NoBusTest, BusThatDoesNotAnswer) {
  PrivateBus wedged;
  ASSERT_TRUE(wedged.running());
  kill(wedged.pid(), SIGSTOP);
  expectQuietNothing();  // returns: each wait on the daemon is bounded
  kill(wedged.pid(), SIGCONT);
}

}  // namespace
