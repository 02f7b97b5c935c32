#pragma once

// Sets the process up for a run, once, before anything else: a reader that
// goes away (a closed pipe) and a file-size limit must fail the write they
// concern, to be reported, not end the process half way through the walk; a
// standard stream the caller closed must stay closed to what is printed.
void PrepareProcess();

// Gives standard output a full buffer when it is not an interactive console,
// so that a walk of many entries writes its lines in large pieces. Reports on
// standard error flush it first, so the order of lines is kept either way.
void BufferStandardOutput();

// True when standard output is a terminal or console, where a name's control
// bytes would drive the screen rather than be shown.
bool StandardOutputIsTerminal();
