// Stands in for the daemon in the init script's test: detaches the way the
// daemon does, then waits to be killed (at most a minute).

#include <cstdlib>
#include <unistd.h>

int main() {
  if (daemon(0, 0) != 0) return EXIT_FAILURE;
  sleep(60);
  return EXIT_SUCCESS;
}
