#pragma once

// The runtime is one shared library per process; its symbols are public.
#define KYT_RT_API __attribute__((visibility("default")))
