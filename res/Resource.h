// Identifiers of the program's resources: dialog templates, controls, the
// icon, bitmaps, menu commands and string-table entries.
#pragma once

#include "platform/WinTypes.h"

// Dialog templates
constexpr UINT IDD_ABOUTBOX = 100;
constexpr UINT IDD_CONVERTER = 102;

// Icon
constexpr UINT IDR_MAINFRAME = 128;

// Bitmaps, packed from the images in res/ at build time (res/CMakeLists.txt
// maps each image to its identifier). Identifiers run from 1 to 0xFFFF.
constexpr UINT IDB_ABOUT = 129; // about.bmp, drawn by scripts/make-about-bitmap

// Controls of the main dialog
constexpr UINT IDC_SOURCE = 1000;
constexpr UINT IDC_DESTINATION = 1001;
constexpr UINT IDC_BROWSE_SOURCE = 1002;
constexpr UINT IDC_BROWSE_DESTINATION = 1003;
constexpr UINT IDC_CONVERT = 1004;
constexpr UINT IDC_RLE8 = 1005;
constexpr UINT IDC_NO_COMPRESSION = 1006;
constexpr UINT IDC_FAITHFUL = 1007;
constexpr UINT IDC_DELTA = 1008;

// System-menu command
constexpr UINT IDM_ABOUT = 16;

// String table
constexpr UINT IDS_ABOUT_MENU = 101;
constexpr UINT IDS_SOURCE_TITLE = 105;
constexpr UINT IDS_DEST_TITLE = 106;
constexpr UINT IDS_SOURCE_FILTER = 107;
constexpr UINT IDS_DEST_FILTER = 108;
constexpr UINT IDS_BAD_DEST_EXT = 109;
constexpr UINT IDS_BAD_SOURCE_EXT = 110;
constexpr UINT IDS_OPEN_ERROR = 111;
constexpr UINT IDS_CONVERTED = 113;
constexpr UINT IDS_LOAD_ERROR = 115;
constexpr UINT IDS_NO_IMAGES = 116;
constexpr UINT IDS_WRITE_ERROR = 117;
constexpr UINT IDS_MEMORY_ERROR = 118;
constexpr UINT IDS_PARTLY_CONVERTED = 119;
constexpr UINT IDS_CANCELLED = 120;
constexpr UINT IDS_DEST_IS_SOURCE = 121;
constexpr UINT IDS_DEST_NOT_FILE = 122;
constexpr UINT IDS_LONG_VIDEO = 123;
