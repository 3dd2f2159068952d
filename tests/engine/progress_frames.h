// tests/engine/progress_frames.h - the progress bar as the phone showed it:
// the percentages read back from the captured frames (the bar is percent x
// 396 / 100 pixels wide).
#pragma once

#include <vector>

// Every percentage shown since the last clear, in order.
std::vector<int> progress_recorded();
// Starts a new record at the phone's next refresh.
void progress_recorder_clear();
