// Handlers that edit and report the LED state.
#pragma once

int cmd_sts(int argc, char** argv);
int cmd_gts(int argc, char** argv);
int cmd_stsb(int argc, char** argv);
int cmd_gtsb(int argc, char** argv);
int cmd_srgb(int argc, char** argv);
int cmd_grgb(int argc, char** argv);
