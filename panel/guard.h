// The rules every request to the panel meets before a route sees it:
//
// - its Host is one of the panel's own names (so that a page of another
//   site, whose name was made to point at the panel, is refused: DNS
//   rebinding);
// - a change is a POST with the panel's own Origin, "Sec-Fetch-Site:
//   same-origin" when the browser sends that header, the header
//   "X-Orvo-Panel: 1" (which no form of another site can set without asking
//   the panel first, and the panel answers no such question: no CORS) and a
//   live session, except the login itself;
// - what /api/ reads needs a session too; the pages themselves do not.
#pragma once

#include <string>
#include <vector>

#include "http/http.h"
#include "panel/auth.h"
#include "panel/options.h"

namespace panel {

struct Guard {
  std::vector<std::string> hosts;    // what Host may say, in lower case
  std::vector<std::string> origins;  // what Origin may say, in lower case
};

// The panel's names from its options: the listen address with its port,
// localhost with the port on loopback, each --name with the port; without
// the port too where it is the scheme's own (80, 443).
Guard guard_make(const Options& options);

// Whether the Host header names the panel / the Origin is the panel's.
bool host_allowed(const Guard& guard, const std::string* host);
bool origin_allowed(const Guard& guard, const std::string* origin);

// A reply with code 0 when the request may go on to its route, else the
// refusal (403 with {"error":"..."}, 405 for methods the panel never takes).
http::Reply guard_check(const Guard& guard, Auth& auth, const http::Request& request,
                        long long now_ms);

// {"error":"why"} with the status.
http::Reply error_reply(unsigned code, const std::string& why);

// The headers of every reply.
std::vector<std::pair<std::string, std::string>> security_headers();

}  // namespace panel
