#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ksim {

// The one status word that does not replace the answer: an adapter searching for the protocol says so
// first, then carries the line out.
constexpr const char *kSearchingWord = "SEARCHING...";

// Misbehaviour injected on purpose so that tests can drive the program's failure paths. Data lines are the
// lines that are neither adapter commands nor empty; "any" lines are all lines received at the right rate.
// Both counts are 1-based.
struct Faults
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> canErrorRanges; // first, count
    std::set<std::uint64_t> noReplyLines;
    // Data line number -> the line the adapter answers instead of sending the frame ("BUS BUSY", or a
    // data line with "<RX ERROR" after it, ...).
    std::map<std::uint64_t, std::string> words;
    // Received line number -> the line the adapter answers instead of carrying the line out.
    std::map<std::uint64_t, std::string> answers;
    // Data lines on which the adapter restarts by itself, as after power-on: after printing LV RESET
    // (its supply dipped), or without a word.
    std::set<std::uint64_t> lvResetLines;
    std::set<std::uint64_t> restartLines;
    // Data line number -> how long everything the adapter sends in answer to it is held back.
    std::map<std::uint64_t, std::int64_t> lateAnswers; // microseconds
    // Raw bytes in front of every prompt, as some Wi-Fi bridges send a NUL; empty for none.
    std::string beforePrompt;
    std::uint64_t canErrorEvery = 0; // 0 = never
    std::uint64_t silentAfter = 0; // 0 = never
    std::uint64_t vanishAfter = 0; // 0 = never
    std::uint64_t resetAfter = 0; // 0 = never; over TCP only
    // A clone that answers AT E0 with OK but goes on echoing every line.
    bool stuckEcho = false;
    // An adapter that hears everything and never answers, from power-up on.
    bool silentFromStart = false;
    // An adapter that cannot change its rate: AT BRD is answered "?".
    bool noBrd = false;
    // The host's CR after an AT BRD switch never arrives, so the adapter always goes back to its old rate.
    bool loseBrdConfirm = false;
    // An adapter that does not know the reply-count digit: a data line ending in one is answered "?".
    bool noReplyCount = false;
    // Something else holds the port (a GPS receiver, a logger): text lines stream without pause and
    // nothing ever answers.
    bool streamText = false;

    bool canError(std::uint64_t dataLine) const;
    bool noReply(std::uint64_t dataLine) const { return noReplyLines.count(dataLine) != 0; }
    bool lvReset(std::uint64_t dataLine) const { return lvResetLines.count(dataLine) != 0; }
    bool restartOn(std::uint64_t dataLine) const { return restartLines.count(dataLine) != 0; }
    // The status word for this data line, or nullptr.
    const std::string *word(std::uint64_t dataLine) const;
    // How long the answer to this data line is held back, in microseconds; 0 for not at all.
    std::int64_t lateAnswer(std::uint64_t dataLine) const;
    // The answer that replaces this received line, or nullptr.
    const std::string *answer(std::uint64_t anyLine) const;
    // Whether another fault answers this data line, so that a no-reply fault on it does not apply.
    bool answersInstead(std::uint64_t dataLine) const;
    bool silent(std::uint64_t anyLine) const { return silentFromStart || (silentAfter != 0 && anyLine > silentAfter); }
    bool vanish(std::uint64_t anyLine) const { return vanishAfter != 0 && anyLine >= vanishAfter; }
};

} // namespace ksim
