#pragma once

// Gives standard output a full buffer when it is not an interactive console,
// so that a walk of many entries writes its lines in large pieces. Reports on
// standard error flush it first, so the order of lines is kept either way.
void BufferStandardOutput();
