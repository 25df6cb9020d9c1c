#include "daemon/led/effects.h"

#include <cerrno>

std::atomic<bool> identify_flag{false};
pthread_mutex_t identify_mutex = PTHREAD_MUTEX_INITIALIZER;

// Not built yet: no blink, no effects.
void* identify_thread(void*) { return nullptr; }
int identify_start() { return 0; }
int cmd_id(int, char**) { return -EINVAL; }
int cmd_fu(int, char**) { return -EINVAL; }
int cmd_impress(int, char**) { return -EINVAL; }
