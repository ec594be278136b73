// printf-style argument checking where the compiler has it (GCC, Clang); elsewhere (MSVC) nothing.
#pragma once

#if defined(__MINGW32__)
// MinGW's C++ library formats with its own C99 printf, not the system's.
#define PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#define PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define PRINTF_FORMAT(formatIndex, firstArgument)
#endif
