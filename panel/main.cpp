// orvo-panel: the commissioning panel in the browser. It finds the
// appliances of a site, shows each one's ring and settings, changes them on
// request of its pages and copies a room's settings to many appliances. It
// runs on the integrator's laptop or a site server, never on the appliance,
// and listens on loopback unless given HTTPS and a password file.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "panel/auth.h"
#include "panel/options.h"
#include "panel/poller.h"
#include "panel/routes.h"
#include "panel/site_model.h"

namespace {

bool file_read(const std::string& path, const char* what, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream all;
  if (file) all << file.rdbuf();
  if (!file || file.bad()) {
    fprintf(stderr, "orvo-panel: cannot read the %s %s\n", what, path.c_str());
    return false;
  }
  *text = all.str();
  return true;
}

void started(void* context) {
  const auto& panel = *static_cast<panel::Panel*>(context);
  if (panel.token.empty()) return;
  fputs(panel::login_line(*panel.options, panel.token).c_str(), stdout);
  fflush(stdout);
}

void reload(void* context) {
  auto& panel = *static_cast<panel::Panel*>(context);
  if (!panel.options->password_file.empty()) {
    const std::string why = panel.auth->accounts_read(panel.options->password_file);
    if (!why.empty()) {
      fprintf(stderr, "orvo-panel: %s; the users stay as they were\n", why.c_str());
    } else {
      fprintf(stderr, "orvo-panel: password file read again: %zu users\n", panel.auth->accounts());
    }
  }
  // On loopback a new token, for whoever lost the first or whose session
  // ended: the last one is no longer good.
  if (!panel.token.empty()) {
    const std::string token = panel::random_hex(32);
    if (!token.empty()) {
      panel.auth->token_renew(token);
      fputs(panel::login_line(*panel.options, token).c_str(), stdout);
      fflush(stdout);
    }
  }
  panel.model->rooms_changed();
}

}  // namespace

int main(int argc, char** argv) {
  panel::Options options;
  const int status = panel::options_parse(argc, argv, &options);
  if (status >= 0) return status;

  std::string tls_cert, tls_key;
  if (!options.tls_cert.empty() && (!file_read(options.tls_cert, "certificate", &tls_cert) ||
                                    !file_read(options.tls_key, "key", &tls_key))) {
    return 1;
  }
  const int pages = open(options.pages.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pages < 0) {
    fprintf(stderr, "orvo-panel: cannot open the pages' folder %s: %s\n", options.pages.c_str(),
            strerror(errno));
    return 1;
  }
  const int state = open(options.state_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (state < 0) {
    fprintf(stderr, "orvo-panel: cannot open the state folder %s: %s\n", options.state_dir.c_str(),
            strerror(errno));
    return 1;
  }
  close(state);

  // On loopback, whoever opens the address printed at start; the token is
  // good for one login.
  std::string token;
  if (panel::loopback(options.listen)) {
    token = panel::random_hex(32);
    if (token.empty()) {
      fputs("orvo-panel: the system has no random bytes to give\n", stderr);
      return 1;
    }
  }
  panel::Auth auth(token, !options.tls_cert.empty());
  if (!options.password_file.empty()) {
    const std::string why = auth.accounts_read(options.password_file);
    if (!why.empty()) {
      fprintf(stderr, "orvo-panel: %s\n", why.c_str());
      return 1;
    }
  }
  if (options.targets.empty()) {
    fputs("orvo-panel: no --targets given: the panel talks to no appliance\n", stderr);
  }

  panel::ModelOptions model_options;
  model_options.targets = options.targets;
  model_options.state_dir = options.state_dir;
  model_options.timeout_ms = options.timeout_ms;
  model_options.port = options.appliance_port;
  panel::SiteModel model(model_options);
  panel::Poller poller(model);
  panel::Panel panel{&options, &model, &auth, panel::guard_make(options), pages, token};
  http::ServerOptions server = panel::server_options(&panel);
  server.tls_cert = tls_cert;
  server.tls_key = tls_key;
  server.started = started;
  server.reload = reload;
  const int served = http::serve(server);
  model.stop();
  return served;
}
