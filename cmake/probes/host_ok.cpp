// A host program sees the exported headers.
#include "OrvOleDb.h"

int main() { return 0; }
