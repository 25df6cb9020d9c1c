// The results every function of the daemon returns.
//
// 0 for success; a negative errno for a failure (-22, EINVAL, for a wrong
// argument count or a bad argument; -110, ETIMEDOUT, for a microphone test
// that has not finished; -errno of a failed system call); kResultNotSaved for
// a settings file that could not be written; kResultLogged for a failure that
// the failing layer has already logged (DSP error or time-out, failed
// verification). Callers pass failures up unchanged, and the request loop
// answers any non-zero result of a handler with NACK. Functions whose result
// nobody needs return nothing.
#pragma once

#include <cerrno>

// A settings file could not be written whole (the old one is kept). The
// number is -EPERM's: where a result is logged (the start-up microphone
// test), -1 stands for either.
inline constexpr int kResultNotSaved = -1;
static_assert(kResultNotSaved == -EPERM);

// A failure that the failing layer has already logged.
inline constexpr int kResultLogged = 1;
