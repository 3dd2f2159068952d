// tests/engine/progress_recorder.h - a stand-in for the display's progress
// screen: tests that link progress_recorder.cpp get a
// CBasicUI::SetUpgradingProgressBar that only records its values.
#pragma once

#include <vector>

// Every percentage shown since the last clear, in order.
std::vector<int> progress_recorded();
void progress_recorder_clear();
