// The platform layer sees its own headers.
#include "platform/platform.h"

int main() { return 0; }
