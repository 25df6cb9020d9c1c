// The identify blink and the show effects.
#pragma once

#include "daemon/led/led_output.h"

// Starts the thread that blinks every LED white while identify is on (ID 1
// until ID 0); it runs for the life of the process. Without it (it could not
// be started) ID switches nothing on.
void identify_start();

// One step of the IMPRESS colour chase: moves a unit of level from red to
// green to blue and back to red, keeping r + g + b constant.
void impress_step(LedSetting* colour);

int cmd_id(int argc, char** argv);
int cmd_fu(int argc, char** argv);
int cmd_impress(int argc, char** argv);
