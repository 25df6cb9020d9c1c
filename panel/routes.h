// orvo-panel's HTTP API and pages, on the model of the site: every route
// turns a request into a call of the model and its answer into JSON. The
// guard (panel/guard.h) has seen every request before these do.
#pragma once

#include <string>

#include "http/http.h"
#include "panel/auth.h"
#include "panel/guard.h"
#include "panel/options.h"
#include "panel/site_model.h"

namespace panel {

struct Panel {
  const Options* options;
  SiteModel* model;
  Auth* auth;
  Guard guard;
  int pages = -1;     // the pages' folder, open
  std::string token;  // the one-time token ("" off loopback)
};

// The line that tells whoever started the panel where to log in (on
// loopback): "orvo-panel: open http://127.0.0.1:9495/#token=HEX".
std::string login_line(const Options& options, const std::string& token);

// The server's options: the routes, the guard, the pages, the headers.
http::ServerOptions server_options(Panel* panel);

// A page's file by the path asked for ("/" is index.html): only a name in
// the folder itself, of a regular file, of a type the panel serves.
http::Reply page(int folder, const std::string& path);

// One event of a stream: "event: NAME" and the data, a data line for each of
// its lines.
std::string event_text(const char* name, const std::string& data);

}  // namespace panel
