#include "panel/guard.h"

#include <arpa/inet.h>
#include <cstring>

namespace panel {

namespace {

std::string lower(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool listed(const std::vector<std::string>& list, const std::string* value) {
  if (value == nullptr) return false;
  const std::string wanted = lower(*value);
  for (const std::string& entry : list) {
    if (entry == wanted) return true;
  }
  return false;
}

}  // namespace

Guard guard_make(const Options& options) {
  const bool tls = !options.tls_cert.empty();
  const int port = ntohs(options.listen.sin_port);
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &options.listen.sin_addr, address, sizeof address);
  std::vector<std::string> names = {address};
  if (loopback(options.listen)) names.emplace_back("localhost");
  names.insert(names.end(), options.names.begin(), options.names.end());
  Guard guard;
  const std::string scheme = tls ? "https://" : "http://";
  for (const std::string& name : names) {
    const std::string host = lower(name) + ":" + std::to_string(port);
    guard.hosts.push_back(host);
    guard.origins.push_back(scheme + host);
    if (port == (tls ? 443 : 80)) {
      guard.hosts.push_back(lower(name));
      guard.origins.push_back(scheme + lower(name));
    }
  }
  return guard;
}

bool host_allowed(const Guard& guard, const std::string* host) {
  return listed(guard.hosts, host);
}

bool origin_allowed(const Guard& guard, const std::string* origin) {
  return listed(guard.origins, origin);
}

http::Reply error_reply(unsigned code, const std::string& why) {
  return http::Reply{code, "{\"error\":" + http::json_string(why) + "}\n", http::kJsonType};
}

http::Reply guard_check(const Guard& guard, Auth& auth, const http::Request& request,
                        long long now_ms) {
  if (!host_allowed(guard, http::header(request, "Host"))) {
    return error_reply(403, "this panel answers only to its own names (the Host header)");
  }
  const bool post = request.method == "POST";
  if (!post && request.method != "GET" && request.method != "HEAD") {
    http::Reply reply = error_reply(405, "only GET, HEAD and POST");
    reply.headers.emplace_back("Allow", "GET, HEAD, POST");
    return reply;
  }
  if (post) {
    if (!origin_allowed(guard, http::header(request, "Origin"))) {
      return error_reply(403, "a change must come from the panel's own pages (the Origin header)");
    }
    const std::string* site = http::header(request, "Sec-Fetch-Site");
    if (site != nullptr && *site != "same-origin") {
      return error_reply(403, "a change must come from the panel's own pages (Sec-Fetch-Site)");
    }
    const std::string* marker = http::header(request, "X-Orvo-Panel");
    if (marker == nullptr || *marker != "1") {
      return error_reply(403, "a change needs the header X-Orvo-Panel: 1");
    }
    if (request.path == "/api/login") return http::Reply{0, "", http::kJsonType};
  }
  if (post || request.path.rfind("/api/", 0) == 0) {
    std::string id;
    if (!auth.session(http::header(request, "Cookie"), now_ms, true, &id)) {
      return error_reply(403, "no session, or it has ended: log in");
    }
  }
  return http::Reply{0, "", http::kJsonType};
}

std::vector<std::pair<std::string, std::string>> security_headers() {
  return {
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
       "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
}

}  // namespace panel
