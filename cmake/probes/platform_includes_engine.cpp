// The platform layer is the lowest: it must not see the engine.
#include "platform/platform.h"
#include "engine/common/env.h"

int main() { return 0; }
