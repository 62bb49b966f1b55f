#ifndef TOLLIX_READ_EACH_LINE_H
#define TOLLIX_READ_EACH_LINE_H

#include <cstdio>
#include <functional>
#include <string>

// Reads a stream on behalf of read_visitor. Answers true when it stopped by
// choice or reached end of file, false on a read error (errno then tells
// which). The stream belongs to read_visitor.
typedef std::function<bool(std::FILE*)> Read_Visitor;

// Called with each line, without its delimiter; answers false to stop.
typedef std::function<bool(const std::string&)> Line_Callback;

// Opens path read-only (close-on-exec, 8192-byte stream buffer) and hands
// the stream to visitor. Answers false when the file cannot be opened or the
// visitor reports a read error; with log set, each failure is logged at
// LM_ERROR ("Failed to open %s for reading, ..." or "Failed to read %s, ...").
// Thread-safe.
bool read_visitor(const char* path, const Read_Visitor& visitor, bool log);

// Hands each delimiter-separated line of path to callback in file order
// (a last line without a delimiter included) until the callback answers
// false. Answers true when the callback stopped or the whole file was read;
// failures as read_visitor.
bool read_each_line(const char* path, const Line_Callback& callback, bool log, char delim = '\n');

#endif
