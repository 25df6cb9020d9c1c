// VERSION: the platform's software version.
#pragma once

int cmd_version(int argc, char** argv);
