// A private preferences folder per test, and small file helpers.
#ifndef QUILLMATE_TESTS_PLATFORM_CF_PREFERENCESFIXTURE_H
#define QUILLMATE_TESTS_PLATFORM_CF_PREFERENCESFIXTURE_H

#include "platform/cf/PreferencesTesting.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class PreferencesFolder : public ::testing::Test {
public:
  void SetUp() override {
    char pattern[] = "/tmp/quillmate-prefs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("QUILLMATE_PREFERENCES_DIR", dir_.c_str(), 1);
    quillmate_cf::forgetPreferencesForTesting();
  }
  void TearDown() override {
    quillmate_cf::forgetPreferencesForTesting();
    unsetenv("QUILLMATE_PREFERENCES_DIR");
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  static bool exists(const std::string &p) { return std::filesystem::exists(p); }
  static std::string slurp(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void put(const std::string &p, const std::string &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  std::string dir_;
};

#endif
