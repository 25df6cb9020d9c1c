// The identify blink and the show effects.
#pragma once

#include <atomic>
#include <pthread.h>

#include "daemon/led/led_output.h"

extern std::atomic<bool> identify_flag;
extern pthread_mutex_t identify_mutex;

// Blinks every LED white while identify_flag is set; never returns.
void* identify_thread(void*);
// Starts identify_thread, detached. 0 or the pthread_create error.
int identify_start();

// One step of the IMPRESS colour chase: moves a unit of level from red to
// green to blue and back to red, keeping r + g + b constant.
void impress_step(LedSetting* colour);

int cmd_id(int argc, char** argv);
int cmd_fu(int argc, char** argv);
int cmd_impress(int argc, char** argv);
