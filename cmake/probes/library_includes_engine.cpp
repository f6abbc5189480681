// The library reaches the engine as a host reaches a provider, by its registered name:
// it must not see an engine header.
#include "OrvOleDb.h"
#include "engine/common/env.h"

int main() { return 0; }
