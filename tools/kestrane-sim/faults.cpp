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

} // namespace ksim
