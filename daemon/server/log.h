// The daemon's system log: every message it can log, and the one function
// that logs them. All of them go out at LOG_ERR, under the identity and
// facility that start-up opens the log with; "%m" is the text of errno.
#pragma once

inline constexpr char kLogNoCarriageReturn[] = "request did not end in carriage return\n";
inline constexpr char kLogInvalidCommand[] = "invalid command '%s' received\n";
inline constexpr char kLogSendFailed[] = "sendto() failed (%m)\n";
inline constexpr char kLogShortSend[] = "short write on udp socket\n";
inline constexpr char kLogReceiveFailed[] = "recvfrom() failed (%m)\n";
inline constexpr char kLogTooManyReceiveFailures[] =
    "max (10) recvfrom() fails reached... exiting\n";
inline constexpr char kLogSocketFailed[] = "socket() failed (%m)... exiting\n";
inline constexpr char kLogBindFailed[] = "bind() failed (%m)... exiting\n";
inline constexpr char kLogMailboxError[] = "mailbox error (%d)\n";
inline constexpr char kLogTransferTimeout[] = "timed out waiting for transfer complete\n";
inline constexpr char kLogParamNotSet[] = "param not set correctly, tmp=%x val=%x\n";
inline constexpr char kLogMicTestFailed[] = "mictest fail: ret is %d, val is %d\n";

// Every message above, for whoever checks what the daemon logs.
inline constexpr const char* kLogMessages[] = {
    kLogNoCarriageReturn, kLogInvalidCommand,         kLogSendFailed,   kLogShortSend,
    kLogReceiveFailed,    kLogTooManyReceiveFailures, kLogSocketFailed, kLogBindFailed,
    kLogMailboxError,     kLogTransferTimeout,        kLogParamNotSet,  kLogMicTestFailed,
};

// Opens the log: identity "orvo-udpd", facility daemon.
void log_open();
// Logs one of the messages above with its values.
__attribute__((format(printf, 1, 2))) void log_error(const char* format, ...);
