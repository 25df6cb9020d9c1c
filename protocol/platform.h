// The appliance's platform as the daemon finds it: where its files are and
// how many LEDs it has. The daemon, the appliance sandbox, the simulator and
// the tests all take these from here.
//
// The two folders are macros so that the paths under them can be joined at
// compile time (and stay literal format strings where they are patterns).
#pragma once

// The LED class: LEDs 1 to 15, each with a red, a green and a blue brightness
// file.
#define ORVO_LED_CLASS_FOLDER "/sys/class/leds"
inline constexpr const char* kLedClassFolder = ORVO_LED_CLASS_FOLDER;
// printf pattern of a brightness file: the LED number, then 'r', 'g' or 'b'.
#define ORVO_LED_BRIGHTNESS_PATH ORVO_LED_CLASS_FOLDER "/led%d%c/brightness"
inline constexpr int kLedCount = 15;

// The settings the daemon keeps, one small file each.
#define ORVO_SETTINGS_FOLDER "/media/data/mic-array"
inline constexpr const char* kSettingsFolder = ORVO_SETTINGS_FOLDER;
// printf pattern of a DSP parameter's file: the parameter number.
#define ORVO_DSP_PARAM_PATH ORVO_SETTINGS_FOLDER "/dspparam%u"
inline constexpr const char* kLedStatePath = ORVO_SETTINGS_FOLDER "/led-internal-state";
inline constexpr const char* kNullColourPath = ORVO_SETTINGS_FOLDER "/nullcolour";
// Settings of other programs, which a factory reset removes.
inline constexpr const char* kMasterIpPath = ORVO_SETTINGS_FOLDER "/master-ip";
inline constexpr const char* kNtpServerPath = ORVO_SETTINGS_FOLDER "/ntp-server";

// The platform's software version: one line.
#define ORVO_VERSION_FOLDER "/etc/sw-version"
inline constexpr const char* kVersionFolder = ORVO_VERSION_FOLDER;
inline constexpr const char* kVersionPath = ORVO_VERSION_FOLDER "/rootfs_system_version";

// Physical memory, where the DSP's mailbox window is (protocol/dsp_mailbox.h).
inline constexpr const char* kPhysicalMemoryPath = "/dev/mem";
