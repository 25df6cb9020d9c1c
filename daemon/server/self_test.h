// The microphone self-test run once at start-up.
#pragma once

// Returns only when the test passed (after a one-second green flash); on
// failure logs the outcome and shows a red ramp for ever.
void startup_self_test();
