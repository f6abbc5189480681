// The engine sees its own headers and the platform's.
#include "platform/oledb.h"
#include "engine/common/env.h"

int main() { return 0; }
