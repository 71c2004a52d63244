// Stands in for the delivery path's resolver while alive, so a host name
// resolves to chosen addresses without /etc/hosts or the network.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "wh_http.h"

namespace vdtest {

class fake_resolver {
 public:
  fake_resolver();   // installs itself
  ~fake_resolver();  // puts the previous resolver back
  fake_resolver(const fake_resolver &) = delete;
  fake_resolver &operator=(const fake_resolver &) = delete;

  // Call k of `host` answers with answers[k] (the last one repeats). Each
  // entry is a numeric IPv4 or IPv6 text, or "unix" for an entry of a family
  // the delivery path must skip. An empty list makes the call fail.
  void set(const std::string &host, std::vector<std::vector<std::string>> answers);
  // Names not set fall through to the real resolver when true (default false:
  // they fail).
  void pass_through(bool on) { pass_through_ = on; }
  // Every call sleeps this long first.
  void delay_ms(int ms) { delay_ms_ = ms; }

  int calls(const std::string &host) const;
  int total_calls() const;

 private:
  static int resolve(const char *host, const char *service, const addrinfo *hints, addrinfo **out);
  static void release(addrinfo *list);

  wh_resolver previous_;
  mutable std::mutex mu_;
  std::map<std::string, std::vector<std::vector<std::string>>> answers_;
  std::map<std::string, int> calls_;
  int total_ = 0;
  bool pass_through_ = false;
  int delay_ms_ = 0;
};

}  // namespace vdtest
