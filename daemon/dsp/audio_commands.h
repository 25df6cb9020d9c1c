// Audio command handlers.
#pragma once

int cmd_tracking(int argc, char** argv);
int cmd_noisesup(int argc, char** argv);
int cmd_noisered(int argc, char** argv);
int cmd_apt(int argc, char** argv);
int cmd_eq(int argc, char** argv);
int cmd_dspstatus(int argc, char** argv);
int cmd_mictest(int argc, char** argv);
