// The appliance's facts that the page draws and checks, as protocol/commands.h
// and protocol/platform.h state them (the browser test compares the two).
export const kLedCount = 15; // kLedCount
export const kLedStateChannels = 16; // kLedStateChannels
export const kEqBands = 3; // kEqBands
export const kEqGainMin = -20; // kEqGainMin
export const kEqGainMax = 6; // kEqGainMax
export const kAptModes = 3; // kAptModes
export const kMaxNulledChannels = 2; // kMaxNulledChannels
export const kPercentStep = 10; // kPercentStep
export const kPercentFull = 100; // kPercentFull
// How long the long commands keep the appliance busy, in seconds: the
// microphone test's 11 s, and FU's and IMPRESS's rows.
export const kLongCommands = { MICTEST: 11, FU: 5, IMPRESS: 6 };
