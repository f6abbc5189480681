// A host program sees only the exported headers, not the library's own.
#include "OrvOleDb.h"
#include "command/command_state.h"

int main() { return 0; }
