// Operator messages on the console, and the fixed texts shared by banners and greetings.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/format.h"

// printf to the console through the platform layer (cut at 2047 characters).
void consolePrintf(const char* format, ...) PRINTF_FORMAT(1, 2);

// Formats into a fixed store; always terminates, never overruns. Returns the characters written.
int formatText(char* store, size_t size, const char* format, ...) PRINTF_FORMAT(3, 4);
int formatTextArgs(char* store, size_t size, const char* format, va_list args);

// SKOPOS_RELEASE ("1.04.0"), SKOPOS_BANNER_RELEASE ("1.04") and SKOPOS_HOMEPAGE come from the build's
// project version and homepage.
#define SKOPOS_VERSION "Skopos-Proxy v" SKOPOS_BANNER_RELEASE
// The game font's frame characters: 0x9D, 35 times 0x9E, 0x9F.
#define SKOPOS_BAR \
    "\x9d\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e" \
    "\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9e\x9f"
// "Skopos-Proxy v1.04 <0x85> Visit Skopos homepage\n<URL>\n"
#define SKOPOS_VISIT SKOPOS_VERSION " \x85 Visit Skopos homepage\n" SKOPOS_HOMEPAGE "\n"
