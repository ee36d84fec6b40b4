// The discovery threads' own failures (a socket that cannot be opened, bound
// or tied to its adapter): they reach the user nowhere else, so each is one
// line "teliox: <text>" on the standard error stream.
#pragma once

#include <cstdio>
#include <string>

inline void LogDiscoveryError(const std::string& text) { std::fprintf(stderr, "teliox: %s\n", text.c_str()); }
