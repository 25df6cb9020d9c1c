// The identify blink and the show effects.
#pragma once

#include "daemon/led/led_output.h"

// Starts the thread that blinks every LED white while identify is on (ID 1
// until ID 0); called once, at start-up, and the thread runs for the life of
// the process. When it is not running (it could not be started, or has not
// been yet), ID 1 is refused with -errno of the failed start (-EAGAIN before
// any): nothing would blink.
void identify_start();

// One step of the IMPRESS colour chase: moves a unit of level from red to
// green to blue and back to red, keeping r + g + b constant.
void impress_step(LedSetting* colour);

int cmd_id(int argc, char** argv);
int cmd_fu(int argc, char** argv);
int cmd_impress(int argc, char** argv);
