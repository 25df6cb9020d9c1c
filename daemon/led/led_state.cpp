#include "daemon/led/led_state.h"

LedStateImage led_state_image{};

// Not built yet: the image is neither loaded, shown nor kept.
int led_state_init() { return -1; }
int led_state_apply() { return 0; }
int led_state_save() { return 0; }
