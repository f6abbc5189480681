// The engine is reached through the class registry only: it must not see the library.
#include "engine/common/env.h"
#include "command/command_state.h"

int main() { return 0; }
