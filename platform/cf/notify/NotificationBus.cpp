// The session-bus connection of the distributed notification center, on
// sd-bus.  Everything that talks to the bus is here; the center above it
// knows only posts, rules and a descriptor to wait on.
#include "platform/cf/notify/NotificationBus.h"
#include "platform/cf/notify/Clock.h"

#include <poll.h>
#include <cerrno>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace quillmate::notify {
namespace {

// How long opening the connection, or installing a rule, may wait for the bus
// daemon.  A healthy daemon answers in well under a millisecond; a wedged one
// must not hang the caller.
constexpr std::uint64_t kReplyTimeoutUsec = 1'000'000;

int ignoreMatch(sd_bus_message*, void*, sd_bus_error*) { return 0; }

// Drives `bus` until `done` holds or the deadline passes.  Returns false on
// timeout or a connection error.
template <typename Done>
bool driveUntil(sd_bus* bus, std::uint64_t deadline, Done done) {
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) return false;
    if (done()) return true;
    if (r > 0) continue;
    std::uint64_t now = monotonicUsec();
    if (now >= deadline) return false;
    if (sd_bus_wait(bus, deadline - now) < 0) return false;
  }
}

}  // namespace

std::string quoteMatchValue(std::string_view value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string matchRule(const std::optional<std::string>& name,
                      const std::optional<std::string>& object) {
  std::string rule = "type='signal',path='";
  rule += kSignalPath;
  rule += "',interface='";
  rule += kSignalInterface;
  rule += "',member='";
  rule += kSignalMember;
  rule += "'";
  if (name) rule += ",arg0=" + quoteMatchValue(*name);
  if (object) rule += ",arg1=" + quoteMatchValue(*object);
  return rule;
}

Bus::~Bus() { disconnect(); }

bool Bus::ensureOpen() {
  if (bus_ && owner_ != getpid()) {
    // A forked child inherits the parent's connection but may not use it, nor
    // close it (that would end the parent's).  Forget it and open our own.
    bus_ = nullptr;
    filter_ = nullptr;
    for (auto& [rule, match] : matches_) match.slot = nullptr;
  }
  if (bus_) {
    if (sd_bus_is_open(bus_) > 0) return true;
    disconnect();
  }

  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  sd_bus_set_method_call_timeout(bus, kReplyTimeoutUsec);
  sd_bus_slot* filter = nullptr;
  if (sd_bus_add_filter(bus, &filter, &Bus::onMessage, this) < 0 ||
      !driveUntil(bus, monotonicUsec() + kReplyTimeoutUsec,
                  [bus] { return sd_bus_is_ready(bus) > 0; })) {
    sd_bus_slot_unref(filter);
    sd_bus_close_unref(bus);
    return false;
  }
  bus_ = bus;
  filter_ = filter;
  owner_ = getpid();

  for (auto& [rule, match] : matches_) {
    // A rule refused now (it was accepted before) stays without a slot; the
    // center still filters what the other rules bring.
    if (install(rule, &match.slot) == Installed::kConnectionLost) {
      disconnect();
      return false;
    }
  }
  return true;
}

void Bus::disconnect() {
  if (!bus_) return;
  if (owner_ == getpid()) {
    for (auto& [rule, match] : matches_) match.slot = sd_bus_slot_unref(match.slot);
    filter_ = sd_bus_slot_unref(filter_);
    sd_bus_flush_close_unref(bus_);
  }
  for (auto& [rule, match] : matches_) match.slot = nullptr;
  filter_ = nullptr;
  bus_ = nullptr;
}

Bus::Installed Bus::install(const std::string& rule, sd_bus_slot** slot) {
  int r = sd_bus_add_match(bus_, slot, rule.c_str(), ignoreMatch, nullptr);
  if (r >= 0) return Installed::kYes;
  // No answer in time counts as a lost connection too: the daemon is wedged.
  if (r == -ETIMEDOUT || sd_bus_is_open(bus_) <= 0) return Installed::kConnectionLost;
  return Installed::kRefused;
}

bool Bus::post(std::string_view name, std::string_view object, bool deliverImmediately,
               UserInfoWriter writeUserInfo, const void* userInfoContext) {
  // Reading first notices a connection the daemon has closed, so the post goes
  // out on a fresh one instead of being lost on the dead one.
  pump();
  if (!ensureOpen()) return false;

  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_signal(bus_, &message, kSignalPath, kSignalInterface, kSignalMember);
  // D-Bus strings carry no NUL, so the views are copied to terminated strings.
  std::string nameText(name), objectText(object);
  if (r >= 0)
    r = sd_bus_message_append(message, "ssb", nameText.c_str(), objectText.c_str(),
                              int(deliverImmediately));
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "{sv}");
  if (r >= 0 && writeUserInfo) r = writeUserInfo(userInfoContext, message);
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) r = sd_bus_send(bus_, message, nullptr);
  sd_bus_message_unref(message);
  if (r == -ENOTCONN || r == -ECONNRESET || r == -EPIPE) {
    disconnect();
    return false;
  }
  if (r < 0) return false;

  // The message is normally written by sd_bus_send itself.  When the socket
  // was full, push the rest out for a bounded time, so that a process that
  // posts and exits still gets its post out.
  bool flushed = driveUntil(bus_, monotonicUsec() + kReplyTimeoutUsec,
                            [this] { return (sd_bus_get_events(bus_) & POLLOUT) == 0; });
  if (!flushed && sd_bus_is_open(bus_) <= 0) disconnect();
  return flushed;
}

std::string Bus::addMatch(const std::string& rule) {
  const std::string catchAll = matchRule(std::nullopt, std::nullopt);
  std::string inUse = rule.size() >= kMaximumMatchRuleLength ? catchAll : rule;
  Match& match = matches_[inUse];
  // Already installed, or to be installed when a connection opens.
  if (++match.references > 1 || !ensureOpen() || match.slot) return inUse;
  switch (install(inUse, &match.slot)) {
    case Installed::kYes:
      return inUse;
    case Installed::kConnectionLost:
      disconnect();  // the entry stays and is installed on reconnection
      return inUse;
    case Installed::kRefused:
      break;
  }
  // Refused (the daemon's per-connection limit, or a rule it cannot parse):
  // fall back on the catch-all rule, unless that is what was refused.
  if (inUse == catchAll) return inUse;
  if (--match.references == 0) matches_.erase(inUse);
  return addMatch(catchAll);
}

void Bus::removeMatch(const std::string& rule) {
  auto it = matches_.find(rule);
  if (it == matches_.end()) return;
  if (--it->second.references > 0) return;
  if (bus_ && owner_ == getpid()) sd_bus_slot_unref(it->second.slot);
  matches_.erase(it);
}

void Bus::reconnectIfWanted() {
  if (!matches_.empty()) ensureOpen();
}

void Bus::pump() {
  if (!bus_) return;
  if (owner_ != getpid()) {
    ensureOpen();
    return;
  }
  for (;;) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      disconnect();
      return;
    }
    if (r == 0) return;
  }
}

Bus::Wait Bus::nextWait() {
  Wait next;
  if (!bus_ || owner_ != getpid()) return next;
  int fd = sd_bus_get_fd(bus_);
  int events = sd_bus_get_events(bus_);
  if (fd < 0 || events < 0) return next;
  next.fd = fd;
  next.events = short(events);
  std::uint64_t deadline = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &deadline) >= 0) next.deadlineUsec = deadline;
  return next;
}

void Bus::reset() {
  disconnect();
  matches_.clear();
}

int Bus::onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<Bus*>(userdata);
  if (!sd_bus_message_is_signal(message, kSignalInterface, kSignalMember)) return 0;
  const char* path = sd_bus_message_get_path(message);
  if (!path || std::string_view(path) != kSignalPath) return 0;
  if (!sd_bus_message_has_signature(message, kSignalSignature)) return 0;

  const char* name = nullptr;
  const char* object = nullptr;
  int immediate = 0;
  if (sd_bus_message_read(message, "ssb", &name, &object, &immediate) < 0) return 0;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return 0;
  ReceivedPost post{name, object, immediate != 0, message};
  self->receiver_(self->context_, post);
  return 0;
}

}  // namespace quillmate::notify
