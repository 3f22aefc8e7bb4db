// The six ways a run of the updater ends. Every phase speaks this vocabulary;
// the driver turns the outcome into the run's one closing message.
#pragma once

#include <optional>

enum class UpdateOutcome {
    ImageMissing,
    ImageCorrupt,
    LinkError,
    Declined,
    UserAbort,
    Completed,
};

// What a phase returns: no outcome lets the run go on, an outcome ends it.
using PhaseEnd = std::optional<UpdateOutcome>;
inline constexpr PhaseEnd GO_ON = std::nullopt;
