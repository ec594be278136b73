// Console output through the platform layer, and bounded formatting into fixed stores.
#include "core/print.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

int formatTextArgs(char* store, size_t size, const char* format, va_list args) {
    int n = vsnprintf(store, size, format, args);
    if (n < 0) {
        store[0] = 0;
        return 0;
    }
    return n >= int(size) ? int(size) - 1 : n;
}

int formatText(char* store, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = formatTextArgs(store, size, format, args);
    va_end(args);
    return n;
}

void consolePrintf(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = formatTextArgs(text, sizeof text, format, args);
    va_end(args);
    platform::writeConsole(text, size_t(n));
}
