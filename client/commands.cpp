#include "client/commands.h"

int commands_take(char* text, size_t size, Commands* commands, Failure* failure) {
  return commands_split(text, size, commands, failure);
}
