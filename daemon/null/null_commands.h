// Handlers of the null mask and its colours.
#pragma once

int cmd_null(int argc, char** argv);
int cmd_nullmask(int argc, char** argv);
int cmd_actnulcol(int argc, char** argv);
