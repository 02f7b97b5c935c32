#pragma once

// Standard output is written as bytes on every platform, so that a name in a
// "File:" line reaches a pipe or a file as stored, a line feed in it
// included; its lines end with UNZRQ_LINE_END, the platform's line end.
// Standard error stays a text stream: a message never holds a raw line feed.
#ifdef _WIN32
#define UNZRQ_LINE_END "\r\n"
#else
#define UNZRQ_LINE_END "\n"
#endif

// Sets the process up for a run, once, before anything else: a reader that
// goes away (a closed pipe) and a file-size limit must fail the write they
// concern, to be reported, not end the process half way through the walk; a
// standard stream the caller closed must stay closed to what is printed;
// standard output must take bytes as they are (see UNZRQ_LINE_END).
void PrepareProcess();

// Gives standard output a full buffer when it is not an interactive console,
// so that a walk of many entries writes its lines in large pieces. Reports on
// standard error flush it first, so the order of lines is kept either way.
void BufferStandardOutput();

// True when standard output is a terminal or console, where a name's control
// bytes would drive the screen rather than be shown.
bool StandardOutputIsTerminal();
