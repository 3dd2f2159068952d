// tests/engine/progress_recorder.cpp - records the progress bar instead of
// drawing it.
#include "progress_recorder.h"

#include "basicui.h"

namespace {

std::vector<int>& values()
{
    static std::vector<int> v;
    return v;
}

} // namespace

int CBasicUI::SetUpgradingProgressBar(int percent)
{
    values().push_back(percent);
    return 0;
}

std::vector<int> progress_recorded()
{
    return values();
}

void progress_recorder_clear()
{
    values().clear();
}
