// The wire side of the distributed notification center: the process's one
// session-bus connection, the signal that carries a notification, and the
// bus match rules that let the bus daemon do the filtering.
//
// A Bus is not thread safe; the center calls it with its own lock held.
#ifndef QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONBUS_H
#define QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONBUS_H

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>


namespace quillmate::notify {

// Where and how a notification travels.  Every post is one broadcast signal
//   path /com/quillworks/DistributedNotification
//   interface com.quillworks.DistributedNotification, member Posted
//   body (s name, s object, b deliverImmediately, a{sv} userInfo)
// A null object travels as the empty string; no user information travels as
// an empty array.
inline constexpr char kSignalPath[] = "/com/quillworks/DistributedNotification";
inline constexpr char kSignalInterface[] = "com.quillworks.DistributedNotification";
inline constexpr char kSignalMember[] = "Posted";
inline constexpr char kSignalSignature[] = "ssba{sv}";

// Longest match rule the bus daemon accepts.  A rule for a longer name or
// object is replaced by the catch-all rule; the center filters locally anyway.
inline constexpr std::size_t kMaximumMatchRuleLength = 1024;

// The signal's fixed arguments as received.  `userInfo` is the message itself,
// positioned on the a{sv} argument, for the receiver to decode if it wants.
struct ReceivedPost {
  std::string_view name;
  std::string_view object;
  bool deliverImmediately = false;
  sd_bus_message* userInfo = nullptr;
};

// Quotes `value` for a match rule: apostrophes leave the quotes, become \'
// and the quotes resume; nothing else is special inside them.
std::string quoteMatchValue(std::string_view value);

// The rule that selects posts of `name` (any name when absent) with `object`
// (any object when absent).
std::string matchRule(const std::optional<std::string>& name,
                      const std::optional<std::string>& object);

class Bus {
 public:
  using Receiver = void (*)(void* context, const ReceivedPost& post);
  // Writes the a{sv} entries of a post; the container is already open.
  // Returns a negative errno to abandon the post.
  using UserInfoWriter = int (*)(const void* context, sd_bus_message* message);

  Bus(Receiver receiver, void* context) : receiver_(receiver), context_(context) {}
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Sends one post.  Opens the connection first if needed; with no bus
  // (no address, nothing listening, or no answer within the reply timeout)
  // it returns false having sent nothing.
  bool post(std::string_view name, std::string_view object, bool deliverImmediately,
            UserInfoWriter writeUserInfo, const void* userInfoContext);

  // Reference-counted match rules.  The first addMatch of a rule installs it
  // (and waits for the bus to accept it, so posts made after it returns are
  // seen); the last removeMatch withdraws it.  addMatch returns the rule in
  // use, which is the catch-all rule when the bus refused `rule`; pass that
  // one to removeMatch.  Rules are installed again after a reconnection.
  std::string addMatch(const std::string& rule);
  void removeMatch(const std::string& rule);

  // Opens the connection if it is closed and there are rules to serve.
  void reconnectIfWanted();

  // Reads and dispatches everything the connection has received, without
  // waiting.  Posts go to the receiver.
  void pump();

  // What to wait for before the next pump: the descriptor (-1 when not
  // connected), poll events, and an absolute CLOCK_MONOTONIC deadline in
  // microseconds (UINT64_MAX for none).
  struct Wait {
    int fd = -1;
    short events = 0;
    std::uint64_t deadlineUsec = UINT64_MAX;
  };
  Wait nextWait();

  bool connected() const { return bus_ != nullptr; }

  // Drops the connection and every rule (test hook).
  void reset();

 private:
  bool ensureOpen();
  void disconnect();
  enum class Installed { kYes, kRefused, kConnectionLost };
  Installed install(const std::string& rule, sd_bus_slot** slot);
  static int onMessage(sd_bus_message* message, void* userdata, sd_bus_error* error);

  struct Match {
    sd_bus_slot* slot = nullptr;
    int references = 0;
  };

  Receiver receiver_;
  void* context_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* filter_ = nullptr;
  pid_t owner_ = 0;
  std::map<std::string, Match> matches_;
};

}  // namespace quillmate::notify

#endif
