#pragma once

#include <time.h>

#include <cstdlib>
#include <string>

// Sets an environment variable for the life of the object and puts the
// caller's setting back after; a TZ takes effect at once (tzset).
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value, 1);
    tzset();
  }
  ~ScopedVariable() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
    tzset();
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};

// The local time zone of one test.
class ZoneScope : public ScopedVariable {
 public:
  explicit ZoneScope(const char* zone) : ScopedVariable("TZ", zone) {}
};
