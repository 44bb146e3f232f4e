// One update run from search to restart; returns the exit status.
#pragma once

inline constexpr int exitUpdated = 0;
inline constexpr int exitNoBootloader = 2;
inline constexpr int exitPageFailed = 3;

int run();
