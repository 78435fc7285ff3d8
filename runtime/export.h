#pragma once

// The runtime is one shared library per process; its symbols are public.
#ifdef _WIN32
#ifdef KYT_BUILDING_RUNTIME
#define KYT_RT_API __declspec(dllexport)
#else
#define KYT_RT_API __declspec(dllimport)
#endif
#else
#define KYT_RT_API __attribute__((visibility("default")))
#endif
