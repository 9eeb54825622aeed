// Fuzz target: the texts that reach the service from the network and from
// the operator's files around it. The first byte picks the reader, the rest
// is its text. Checked, beside the absence of crashes:
// - a listen address or broker URL that is read has a host and a port in range;
// - a time bound that is read (the API's and the command line's, as since
//   and as until, also with "now" at the last second held) is the store's
//   "YYYY-MM-DD HH:MM:SS";
// - a count that is read lies in its range;
// - the loopback Host check always lets "localhost" in;
// - a field path that is read has named steps;
// - an auth file that is read refuses an empty Authorization header, and its
//   own token (bearer form) is accepted.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "http/history_series.h"
#include "http/host_check.h"
#include "http/http_auth.h"
#include "serving/listen_address.h"
#include "http/query_params.h"
#include "mqtt/mqtt_url.h"
#include "records/vocabulary.h"
#include "runtime/time_bound.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string error;
  switch (data[0] % 8) {
    case 0: {
      serving::ListenAddress address;
      if (serving::ParseListen(text, address, error)) {
        FUZZ_CHECK(!address.host.empty(), "a listen address has a host");
        FUZZ_CHECK(address.port >= 0 && address.port <= 65535, "its port is in range");
      } else {
        FUZZ_CHECK(!error.empty(), "a refusal says why");
      }
      break;
    }
    case 1: {
      mqtt::BrokerAddress address;
      if (mqtt::ParseBrokerUrl(text, address, error)) {
        FUZZ_CHECK(!address.host.empty(), "a broker URL has a host");
        FUZZ_CHECK(address.port >= 1 && address.port <= 65535, "its port is in range");
      } else {
        FUZZ_CHECK(!error.empty(), "a refusal says why");
      }
      break;
    }
    case 2: {
      const std::optional<std::string> bound =
          runtime::ParseTimeBound(text, runtime::RangeEnd::kSince, 1796500000);
      if (bound) {
        FUZZ_CHECK(bound->size() == 19 && (*bound)[4] == '-' && (*bound)[10] == ' ',
                   "a time bound is the store's local time text");
      }
      break;
    }
    case 3: {
      const std::optional<unsigned int> count = http_output::ParseCount(text, 1, 100000);
      FUZZ_CHECK(!count || (*count >= 1 && *count <= 100000), "a count lies in its range");
      break;
    }
    case 4: {
      FUZZ_CHECK(http_output::HostAllowed("localhost", text),
                 "localhost names the loopback server, whatever address it is bound to");
      http_output::HostAllowed(text, "127.0.0.1");
      http_output::HostAllowed(text, "::1");
      break;
    }
    case 5: {
      vocabulary::Resolved field;
      if (vocabulary::Resolve(text, field)) {
        FUZZ_CHECK(!field.path.empty(), "a field has a place in a record");
        FUZZ_CHECK(field.path.find('*') == std::string::npos, "the place is one value");
      }
      break;
    }
    case 7: {
      // "now" at the edges the relative forms reach from.
      for (const std::int64_t now : {std::int64_t{0}, std::int64_t{253402300799}}) {
        const std::optional<std::string> bound =
            runtime::ParseTimeBound(text, runtime::RangeEnd::kUntil, now);
        if (bound) {
          FUZZ_CHECK(bound->size() == 19 && (*bound)[4] == '-' && (*bound)[10] == ' ',
                     "a time bound is the store's local time text");
        }
      }
      break;
    }
    case 6: {
      http_output::HttpAuth auth;
      if (auth.Parse(text, error)) {
        FUZZ_CHECK(auth.Required(), "credentials that are read are required");
        FUZZ_CHECK(!auth.Allows(""), "no Authorization header is no access");
        const std::size_t end = text.find('\n');
        const std::string first = text.substr(0, end);
        auth.Allows("Bearer " + first);
        auth.Allows("Basic " + first);
      } else {
        FUZZ_CHECK(!error.empty(), "a refusal says why");
      }
      break;
    }
  }
  return 0;
}
