// The touchpad vendor's tools and firmware image: their file names in the
// work folder, the command lines they are run with and how long each run may
// take. Used by the start-up sequence (app/) and the update worker (ui/).
// Wide string literals, so that a command line can be built from a name.
#pragma once

// The firmware image; the reflash tool finds it in its working directory by
// the name its command line gives.
#define VENDOR_IMAGE_NAME L"FW2149928-kt2379-004_touchthr_40.img"

// The information and reflash tools of each architecture.
#define VENDOR_INFO_NAME_X86 L"KvInfo32.exe"
#define VENDOR_INFO_NAME_X64 L"KvInfo64.exe"
#define VENDOR_REFLASH_NAME_X86 L"KvReflash_x86.exe"
#define VENDOR_REFLASH_NAME_X64 L"KvReflash_x64.exe"

// The log the tools may leave in their working directory.
#define VENDOR_LOG_NAME L"Log.txt"

// Before the window: whether the touchpad needs the update. Exit code 0 or
// INFO_CHECK_EXIT_GO_AHEAD lets the update go ahead. Where the vendor library
// found no touchpad, the run gets the shorter limit, and a tool that does not
// answer within it lets the update go ahead as well.
#define INFO_CHECK_ARGS L"/I 1846958;2025418"
#define INFO_CHECK_TIMEOUT_MS 600000u
#define INFO_CHECK_NO_DEVICE_TIMEOUT_MS 2000u
#define INFO_CHECK_EXIT_GO_AHEAD 6u

// An update attempt: the reflash with the image, then the information tool's
// check of the firmware it left.
#define REFLASH_ARGS L"/S 2 /F 0 /W 2 /I " VENDOR_IMAGE_NAME
#define REFLASH_TIMEOUT_MS 600000u
#define VERIFY_ARGS L"/I 2149928"
#define VERIFY_TIMEOUT_MS 5000u
