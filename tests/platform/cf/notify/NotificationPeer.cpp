// The other process of the cross-process tests.  Reads commands from standard
// input, one a line, fields separated by tabs, and answers on standard output:
//   observe NAME OBJECT BEHAVIOUR   add an observer (OBJECT "-" for any)  -> ok
//   post NAME OBJECT IMMEDIATE      post (OBJECT "-" for null; 1 or 0)    -> ok
//   suspend | resume                                                      -> ok
//   until NAME SECONDS              run the run loop, printing each
//                                   delivery, until one named NAME        -> done | timeout
//   quit
// A delivery prints as: note NAME OBJECT INFO, OBJECT "-" for null and INFO
// "null" or "info".
#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string text(CFStringRef s) {
  if (!s) return "-";
  char buffer[1024];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "?";
}

CFStringRef string(const std::string& s) {
  return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

std::string awaited;
bool awaitedSeen = false;

void onNote(CFNotificationCenterRef, void*, CFNotificationName name, const void* object,
            CFDictionaryRef userInfo) {
  std::string nameText = text(name);
  if (nameText == awaited) awaitedSeen = true;
  std::cout << "note\t" << nameText << '\t' << text(static_cast<CFStringRef>(object)) << '\t'
            << (userInfo ? "info" : "null") << std::endl;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) out.push_back(field);
  return out;
}

}  // namespace

int main() {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  std::vector<CFStringRef> kept;  // names and objects stay alive for the process
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> f = fields(line);
    if (f.empty()) continue;
    const std::string& command = f[0];
    if (command == "observe" && f.size() == 4) {
      CFStringRef name = string(f[1]);
      CFStringRef object = f[2] == "-" ? nullptr : string(f[2]);
      kept.push_back(name);
      if (object) kept.push_back(object);
      CFNotificationCenterAddObserver(center, &kept, onNote, name, object, std::atoi(f[3].c_str()));
      std::cout << "ok" << std::endl;
    } else if (command == "post" && f.size() == 4) {
      CFStringRef name = string(f[1]);
      CFStringRef object = f[2] == "-" ? nullptr : string(f[2]);
      CFNotificationCenterPostNotification(center, name, object, nullptr, f[3] == "1");
      CFRelease(name);
      if (object) CFRelease(object);
      std::cout << "ok" << std::endl;
    } else if (command == "suspend" || command == "resume") {
      CFNotificationCenterSetSuspended(center, command == "suspend");
      std::cout << "ok" << std::endl;
    } else if (command == "until" && f.size() == 3) {
      auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(f[2].c_str()));
      awaited = f[1];
      awaitedSeen = false;
      while (!awaitedSeen && std::chrono::steady_clock::now() < end)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
      std::cout << (awaitedSeen ? "done" : "timeout") << std::endl;
    } else if (command == "quit") {
      break;
    } else {
      std::cout << "error " << line << std::endl;
    }
  }
  for (CFStringRef s : kept) CFRelease(s);
  return 0;
}
