// Resource identifiers of the program: the icon, the string table and the
// embedded payload files. Plain #defines only, so that the resource compiler
// can include this header as well as C++ sources.
#pragma once

// Group icon of the window class.
#define IDI_APP_ICON 128

// String table (stored under language 1033; the texts are Japanese).
#define IDS_APP_TITLE 132
#define IDS_DRIVER_ACCESS_FAILED 133
#define IDS_CONNECT_AC_ADAPTER 134
#define IDS_START_FAILED 135
#define IDS_MODEL_NOT_SUPPORTED 136
#define IDS_OS_NOT_SUPPORTED 137
#define IDS_FLATPAD_DISABLED 138
#define IDS_TOUCHPAD_NOT_FOUND 139
#define IDS_TOUCHPAD_DISABLED 140
#define IDS_UPDATE_NOT_NEEDED 141
#define IDS_ATTACH_BATTERY 142
#define IDS_SMBUS_DRIVER_DISABLED 143
#define IDS_OTHER_USER_RUNNING 144
#define IDS_DONT_RUN_AS_ADMIN 145
#define IDS_RUN_AS_ADMIN 146

// Embedded files, resource type "FILE", stored under language 1041.
#define IDR_REFLASH_X86 300
#define IDR_REFLASH_X64 301
#define IDR_FIRMWARE_IMAGE 302
#define IDR_INFO_X86 303
#define IDR_INFO_X64 304
