#ifndef HOST_SLEEP_H
#define HOST_SLEEP_H

#include <ace/Time_Value.h>

#include <functional>

// The one sleep through which every fixed wait and retry pause of the module
// and the host goes, so that tests can shorten them. Production code never
// changes the scale: waits then last exactly as long as asked.
// Thread-safe.

// Sleeps for `duration` times the current scale. Answers 0, or -1 when the
// sleep was interrupted (errno EINTR); a negative duration returns at once.
int host_sleep(const ACE_Time_Value& duration);

// Sets the factor applied to every later host_sleep (1.0 by default; 0
// makes every wait return at once). A negative factor is taken as 0.
void set_host_sleep_scale(double scale);
double host_sleep_scale();

// Calls `observer` with the asked duration at the start of every later
// host_sleep, on the sleeping thread (an empty function removes it). Lets a
// test act at a known point of a wait sequence rather than at a guessed time.
void set_host_sleep_observer(std::function<void(const ACE_Time_Value&)> observer);

#endif
