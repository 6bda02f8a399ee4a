#pragma once
// Sets environment variables for one scope and clears them afterwards.
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using EnvVars = std::map<std::string, std::string>;

struct ScopedEnv {
  std::vector<std::string> names;
  explicit ScopedEnv(const EnvVars& vars) {
    for (const auto& [name, value] : vars) {
      setenv(name.c_str(), value.c_str(), 1);
      names.push_back(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& n : names) unsetenv(n.c_str());
  }
};
