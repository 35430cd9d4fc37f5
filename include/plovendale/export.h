#pragma once

/* Marks what a shared build of the library exports; everything else stays hidden. The static
   build needs no marking, but the attribute is harmless there. */
#if defined(_WIN32)
#if defined(PLOVENDALE_STATIC_DEFINE)
#define PLOVENDALE_API
#elif defined(PLOVENDALE_BUILDING)
#define PLOVENDALE_API __declspec(dllexport)
#else
#define PLOVENDALE_API __declspec(dllimport)
#endif
#else
#define PLOVENDALE_API __attribute__((visibility("default")))
#endif
