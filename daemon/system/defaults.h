// DEFAULTS: factory audio settings and null colouring.
#pragma once

int cmd_defaults(int argc, char** argv);
