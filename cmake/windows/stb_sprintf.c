/* The Windows build has no stb library: the implementation of stb_sprintf is compiled here, once. */
#define STB_SPRINTF_IMPLEMENTATION
#include <stb/stb_sprintf.h>
