#include "platform/console.h"

// The C library already buffers standard output fully when it is not a terminal.
void BufferStandardOutput() {}
