#include "faults.h"

namespace ksim {

bool Faults::canError(std::uint64_t dataLine) const
{
    if (canErrorEvery != 0 && dataLine % canErrorEvery == 0)
        return true;
    for (const auto &range : canErrorRanges) {
        if (dataLine >= range.first && dataLine - range.first < range.second)
            return true;
    }
    return false;
}

const std::string *Faults::word(std::uint64_t dataLine) const
{
    const auto found = words.find(dataLine);
    return found == words.end() ? nullptr : &found->second;
}

std::int64_t Faults::lateAnswer(std::uint64_t dataLine) const
{
    const auto found = lateAnswers.find(dataLine);
    return found == lateAnswers.end() ? 0 : found->second;
}

const std::string *Faults::answer(std::uint64_t anyLine) const
{
    const auto found = answers.find(anyLine);
    return found == answers.end() ? nullptr : &found->second;
}

bool Faults::answersInstead(std::uint64_t dataLine) const
{
    const std::string *text = word(dataLine);
    return lvReset(dataLine) || restartOn(dataLine) || (text && *text != kSearchingWord) || canError(dataLine);
}

} // namespace ksim
